#include "DerWriter.h"

#include "ToolSupport.h"

#include <openssl/objects.h>

namespace signtool {

Bytes derElement(unsigned char tag, const Bytes &content)
{
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else {
        Bytes length;
        for (size_t v = n; v > 0; v >>= 8)
            length.insert(length.begin(), static_cast<unsigned char>(v & 0xFF));
        out.push_back(static_cast<unsigned char>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes oidDer(const char *oid)
{
    const sdktool::OsslPtr<ASN1_OBJECT> object(OBJ_txt2obj(oid, 1));
    Bytes out;
    const int n = object ? i2d_ASN1_OBJECT(object.get(), nullptr) : 0;
    if (n <= 0)
        return out;
    out.resize(static_cast<size_t>(n));
    unsigned char *p = out.data();
    i2d_ASN1_OBJECT(object.get(), &p);
    return out;
}

} // namespace signtool
