#!/usr/bin/env python3
"""An Authenticode checker for signed PE files that shares no code with
signtool.exe: pefile reads the headers, asn1crypto the PKCS#7, and the RSA
signatures are checked with plain integer arithmetic.

    check_authenticode.py FILE [--signatures N] [--digest sha256]...
                               [--description TEXT] [--url URL] [--kept EARLIER]
                               [--page-hashes sha256|sha1|none]...
                               [--stamped KIND] [--stamps KIND]...

Checks the PE checksum, the certificate table's directory entry (8-byte
aligned, ending the file), the WIN_CERTIFICATE header (revision 2.0,
PKCS_SIGNED_DATA), and for every signature (the primary one and those
nested in its unsigned attributes): SpcIndirectDataContent with
SpcPeImageData, its digest against the file's own Authenticode digest, the
signed attributes (contentType, messageDigest, SpcStatementType
individual, SpcSpOpusInfo with the expected texts) and the signature value over them.
--digest names each signature's digest in order. --kept EARLIER: every
signature of the signed file EARLIER is in FILE byte for byte, in the same
order. Page hashes, where a signature carries them (SpcPeImageData's file
link as a moniker of the page-hash class), are recomputed from the file's
headers and section table and must match entry for entry; --page-hashes
names which kind each signature must carry, in order. Prints one line per
signature; exits 1 with the first fault.
"""

import argparse
import hashlib
import struct
import sys

import pefile
from asn1crypto import algos, cms, core, parser, tsp

INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
INDIVIDUAL = "1.3.6.1.4.1.311.2.1.21"
NESTED = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TOKEN = "1.3.6.1.4.1.311.3.3.1"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", SpcSerializedObject, {"implicit": 1}),
        ("file", core.Any, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString, {"optional": True}),
               ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeSet(core.SetOf):
    _child_spec = SpcAttributeTypeAndOptionalValue


class OctetStringSet(core.SetOf):
    _child_spec = core.OctetString


PAGE_HASH_KINDS = {"1.3.6.1.4.1.311.2.3.1": "sha1", "1.3.6.1.4.1.311.2.3.2": "sha256"}
PAGE_HASH_CLASS = bytes.fromhex("a6b586d5b4a12466ae05a217da8e60d6")
PAGE = 4096


class Fault(Exception):
    pass


def require(condition, message):
    if not condition:
        raise Fault(message)


def pe_layout(path):
    pe = pefile.PE(path, fast_load=True)
    data = pe.__data__[:]
    checksum_at = pe.OPTIONAL_HEADER.get_file_offset() + 64
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry_at = security.get_file_offset()
    return pe, bytes(data), checksum_at, entry_at, security.VirtualAddress, security.Size


def authenticode_digest(data, checksum_at, entry_at, table_at, name):
    h = hashlib.new(name)
    h.update(data[:checksum_at])
    h.update(data[checksum_at + 4:entry_at])
    h.update(data[entry_at + 8:table_at])
    if table_at % 8:
        h.update(b"\0" * (8 - table_at % 8))
    return h.digest()


def page_hashes(pe, data, checksum_at, entry_at, name):
    """The page-hash table of the file as Windows' loader would check it:
    the headers (without checksum and certificate entry) as page 0, then
    every section's raw data in 4 KiB pages, each padded with zeros, then
    the end of the last section with a zero digest."""
    headers = pe.OPTIONAL_HEADER.SizeOfHeaders
    head = data[:checksum_at] + data[checksum_at + 4:entry_at] + data[entry_at + 8:headers]
    table = struct.pack("<I", 0) + hashlib.new(name, head + b"\0" * (PAGE - headers)).digest()
    end = 0
    for section in pe.sections:
        start, size = section.PointerToRawData, section.SizeOfRawData
        if size == 0:
            continue
        for at in range(0, size, PAGE):
            chunk = data[start + at:start + min(at + PAGE, size)]
            table += struct.pack("<I", start + at) + hashlib.new(name, chunk + b"\0" * (PAGE - len(chunk))).digest()
        end = start + size
    return table + struct.pack("<I", end) + b"\0" * hashlib.new(name).digest_size


def embedded_page_hashes(image_data_der, index):
    """(kind, table) of the page hashes in SpcPeImageData, or None."""
    image = SpcPeImageData.load(image_data_der)
    link = image["file"]
    if getattr(link, "name", None) != "moniker":
        return None
    moniker = link.chosen
    if moniker["class_id"].native != PAGE_HASH_CLASS:
        return None
    attributes = SpcAttributeSet.load(moniker["serialized_data"].native)
    require(len(attributes) == 1, "signature %d: %d page-hash attributes" % (index, len(attributes)))
    kind = PAGE_HASH_KINDS.get(attributes[0]["type"].dotted)
    require(kind is not None, "signature %d: page hashes of unknown kind %s" % (index, attributes[0]["type"].dotted))
    values = OctetStringSet.load(attributes[0]["value"].dump())
    require(len(values) == 1, "signature %d: page hashes hold %d values" % (index, len(values)))
    return kind, values[0].native


def der_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def rsa_holds(cert, digest_name, signed, signature):
    key = cert.public_key
    require(key.algorithm == "rsa", "the signer's key is not RSA (this checker knows RSA only)")
    numbers = key["public_key"].parsed
    n, e = numbers["modulus"].native, numbers["public_exponent"].native
    size = (n.bit_length() + 7) // 8
    block = pow(int.from_bytes(signature, "big"), e, n).to_bytes(size, "big")
    expected = DigestInfo({"digest_algorithm": {"algorithm": digest_name, "parameters": core.Null()},
                           "digest": hashlib.new(digest_name, signed).digest()}).dump()
    padding = b"\x00\x01" + b"\xff" * (size - 3 - len(expected)) + b"\x00"
    return block == padding + expected


def attribute(attributes, oid):
    values = [a["values"] for a in attributes if a["type"].dotted == oid]
    require(len(values) == 1, "signed attribute %s is there %d times" % (oid, len(values)))
    require(len(values[0]) == 1, "signed attribute %s has %d values" % (oid, len(values[0])))
    return values[0][0]


def elements(contents):
    """(tag number, contents) of each DER element in `contents`."""
    found = []
    while contents:
        _, _, tag, header, inner, trailer = parser.parse(contents)
        found.append((tag, inner))
        contents = contents[len(header) + len(inner) + len(trailer):]
    return found


def opus_texts(opus_der):
    """The program name and link of an SpcSpOpusInfo, read by hand."""
    name = url = None
    for tag, inner in elements(parser.parse(opus_der)[4]):
        kind, text = elements(inner)[0]
        text = text.decode("utf-16-be" if kind == 0 and tag == 0 else "ascii")
        if tag == 0:
            name = text
        elif tag == 1:
            url = text
    return name, url


def check_signature(content_info, data, layout, index, args):
    _, _, checksum_at, entry_at, table_at, _ = layout
    require(content_info["content_type"].native == "signed_data", "signature %d is not SignedData" % index)
    signed = content_info["content"]
    encap = signed["encap_content_info"]
    require(encap["content_type"].dotted == INDIRECT_DATA, "signature %d does not hold SpcIndirectDataContent" % index)
    # asn1crypto expects CMS's OCTET STRING there; Authenticode keeps
    # PKCS#7's SEQUENCE, which it hands over as the SEQUENCE's content.
    content_value = encap["content"].contents
    indirect = SpcIndirectDataContent.load(b"\x30" + der_length(len(content_value)) + content_value)
    require(indirect["data"]["type"].dotted == PE_IMAGE_DATA, "signature %d is not of a PE image" % index)
    digest_name = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
    embedded = indirect["message_digest"]["digest"].native
    require(embedded == authenticode_digest(data, checksum_at, entry_at, table_at, digest_name),
            "signature %d: the embedded %s digest is not the file's Authenticode digest" % (index, digest_name))
    pages = embedded_page_hashes(indirect["data"]["value"].dump(), index)
    if pages is not None:
        kind, table = pages
        expected = page_hashes(layout[0], data, checksum_at, entry_at, kind)
        entry = 4 + hashlib.new(kind).digest_size
        require(len(table) % entry == 0, "signature %d: the page-hash table is cut" % index)
        for at in range(0, min(len(table), len(expected)), entry):
            require(table[at:at + entry] == expected[at:at + entry],
                    "signature %d: page-hash entry %d (offset %#x) differs from the file's"
                    % (index, at // entry, struct.unpack("<I", expected[at:at + 4])[0]))
        require(len(table) == len(expected), "signature %d: %d page-hash entries, the file has %d"
                % (index, len(table) // entry, len(expected) // entry))
    if index < len(args.page_hashes):
        found = pages[0] if pages else "none"
        require(found == args.page_hashes[index],
                "signature %d carries %s page hashes, expected %s" % (index, found, args.page_hashes[index]))

    infos = signed["signer_infos"]
    require(len(infos) == 1, "signature %d has %d signers" % (index, len(infos)))
    info = infos[0]
    require(info["digest_algorithm"]["algorithm"].native == digest_name,
            "signature %d: signer digest differs from the file digest" % index)
    attributes = info["signed_attrs"]
    require(attribute(attributes, "1.2.840.113549.1.9.3").dotted == INDIRECT_DATA,
            "signature %d: contentType is not SpcIndirectDataContent" % index)
    require(attribute(attributes, "1.2.840.113549.1.9.4").native == hashlib.new(digest_name, content_value).digest(),
            "signature %d: messageDigest is not the digest of the content" % index)
    statement = elements(parser.parse(attribute(attributes, STATEMENT_TYPE).dump())[4])
    require([core.ObjectIdentifier.load(b"\x06" + der_length(len(oid)) + oid).dotted for _, oid in statement] == [INDIVIDUAL],
            "signature %d: SpcStatementType is not individual code signing" % index)
    # SpcSpOpusInfo is optional (osslsigncode leaves it out without -n/-i);
    # --description and --url want it.
    name = url = None
    if any(a["type"].dotted == OPUS_INFO for a in attributes):
        name, url = opus_texts(attribute(attributes, OPUS_INFO).dump())
    if args.description is not None and index == 0:
        require(name == args.description, "signature %d: description %r, expected %r" % (index, name, args.description))
    if args.url is not None and index == 0:
        require(url == args.url, "signature %d: URL %r, expected %r" % (index, url, args.url))

    sid = info["sid"].chosen
    signer = None
    for choice in signed["certificates"]:
        cert = choice.chosen
        if cert.issuer == sid["issuer"] and cert.serial_number == sid["serial_number"].native:
            signer = cert
    require(signer is not None, "signature %d: the signer's certificate is not in it" % index)
    signed_bytes = attributes.dump()
    signed_bytes = b"\x31" + signed_bytes[1:]  # signed as a SET OF, stored [0] IMPLICIT
    require(rsa_holds(signer, digest_name, signed_bytes, info["signature"].native),
            "signature %d: the signature value does not verify" % index)
    return digest_name, signer.subject.human_friendly


def signatures_of(path):
    """The primary ContentInfo and the nested ones, with the layout."""
    layout = pe_layout(path)
    pe, data, checksum_at, entry_at, table_at, table_size = layout
    require(table_at != 0 and table_size != 0, "the file carries no certificate table")
    require(table_at % 8 == 0, "the certificate table is not 8-byte aligned")
    require(table_at + table_size == len(data), "the certificate table does not end the file")
    length, revision, kind = struct.unpack_from("<IHH", data, table_at)
    require(revision == 0x0200, "WIN_CERTIFICATE revision is %#x, not 2.0" % revision)
    require(kind == 2, "WIN_CERTIFICATE type is %d, not PKCS_SIGNED_DATA" % kind)
    require(8 < length <= table_size and (length + 7) // 8 * 8 == table_size,
            "WIN_CERTIFICATE length %d does not fit the table of %d bytes" % (length, table_size))
    stored = pe.OPTIONAL_HEADER.CheckSum
    require(stored == pe.generate_checksum(), "the PE checksum %#x is not the file's %#x" % (stored, pe.generate_checksum()))
    outer_der = cms.ContentInfo.load(data[table_at + 8:table_at + length], strict=False)
    primary = cms.ContentInfo.load(outer_der.dump())
    nested = []
    unsigned = primary["content"]["signer_infos"][0]["unsigned_attrs"]
    if not isinstance(unsigned, core.Void):
        for attr in unsigned:
            if attr["type"].dotted == NESTED:
                for value in attr["values"]:
                    nested.append(cms.ContentInfo.load(value.dump()))
    return layout, data, primary, nested


def stamp_kind(content_info):
    """The time stamp of a signature, checked against its signature value:
    "rfc3161", "authenticode" or None."""
    info = content_info["content"]["signer_infos"][0]
    signature = info["signature"].native
    unsigned = info["unsigned_attrs"]
    if isinstance(unsigned, core.Void):
        return None
    stamps = [a for a in unsigned if a["type"].dotted in (RFC3161_TOKEN, COUNTER_SIGNATURE)]
    require(len(stamps) <= 1, "a signature carries %d time stamps" % len(stamps))
    for attr in unsigned:
        if attr["type"].dotted == RFC3161_TOKEN:
            token = cms.ContentInfo.load(attr["values"][0].dump())
            tst = tsp.TSTInfo.load(token["content"]["encap_content_info"]["content"].contents)
            imprint = tst["message_imprint"]
            name = imprint["hash_algorithm"]["algorithm"].native
            require(imprint["hashed_message"].native == hashlib.new(name, signature).digest(),
                    "the RFC 3161 token's imprint is not the digest of the signature value")
            return "rfc3161"
        if attr["type"].dotted == COUNTER_SIGNATURE:
            counter = cms.SignerInfo.load(attr["values"][0].dump())
            name = counter["digest_algorithm"]["algorithm"].native
            digest = [a["values"][0].native for a in counter["signed_attrs"] if a["type"].native == "message_digest"]
            require(digest == [hashlib.new(name, signature).digest()],
                    "the counter-signature is not over the signature value")
            return "authenticode"
    return None


def kept_parts(primary):
    """What of a primary signature must stay: all but its unsigned attributes."""
    signed = primary["content"]
    info = signed["signer_infos"][0]
    return [signed["encap_content_info"].dump(), signed["certificates"].dump(), info["signed_attrs"].dump(),
            info["signature"].dump()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--signatures", type=int)
    parser.add_argument("--digest", action="append", default=[])
    parser.add_argument("--description")
    parser.add_argument("--url")
    parser.add_argument("--kept")
    parser.add_argument("--page-hashes", action="append", default=[])
    parser.add_argument("--stamped", help="the last signature's time stamp: rfc3161 or authenticode")
    parser.add_argument("--stamps", action="append", default=[],
                        help="each signature's time stamp in order: rfc3161, authenticode or none")
    args = parser.parse_args()
    try:
        layout, data, primary, nested = signatures_of(args.file)
        everything = [primary] + nested
        if args.signatures is not None:
            require(len(everything) == args.signatures,
                    "%d signature(s), expected %d" % (len(everything), args.signatures))
        for index, content_info in enumerate(everything):
            digest, signer = check_signature(content_info, data, layout, index, args)
            if index < len(args.digest):
                require(digest == args.digest[index], "signature %d uses %s, expected %s" % (index, digest, args.digest[index]))
            print("signature %d: %s by %s" % (index, digest, signer))
        for index, wanted in enumerate(args.stamps):
            found = stamp_kind(everything[index]) or "none"
            require(found == wanted, "signature %d's time stamp is %s, expected %s" % (index, found, wanted))
        if args.stamped:
            found = stamp_kind(everything[-1])
            require(found == args.stamped, "the last signature's time stamp is %s, expected %s" % (found, args.stamped))
        if args.kept:
            _, _, earlier, earlier_nested = signatures_of(args.kept)
            require(kept_parts(earlier) == kept_parts(primary), "the primary signature was not kept byte for byte")
            require(len(nested) >= len(earlier_nested), "appended signatures were lost")
            for i, old in enumerate(earlier_nested):
                require(old.dump() == nested[i].dump(), "appended signature %d was not kept byte for byte" % (i + 1))
        print("ok: %d signature(s), checksum %#x" % (len(everything), layout[0].OPTIONAL_HEADER.CheckSum))
    except Fault as fault:
        print("FAULT: %s" % fault)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
