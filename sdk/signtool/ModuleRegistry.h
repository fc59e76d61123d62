#pragma once

// The PKCS#11 modules registered with p11-kit, read from its configuration
// files without opening any module. p11-kit's own p11_kit_modules_load()
// opens every registered library, and opening a library runs its code (its
// constructors) before the caller could judge its path; running as root,
// each path must be judged first (safefile/TrustedProgram.h), so the
// registry is read here and the modules are loaded one by one after that.
//
// The rules are p11-kit's (pkcs11.conf(5)):
// - The global file (/etc/pkcs11/pkcs11.conf) may say "user-config: none",
//   "merge" (the default) or "only"/"override"; the user's own global file
//   (~/.config/pkcs11/pkcs11.conf) may change that for the user.
// - One file per module: NAME.module in the user's folder
//   (~/.config/pkcs11/modules, unless user-config is none), then the
//   system's (/etc/pkcs11/modules) and the packages' (/usr/share/p11-kit/
//   modules), unless user-config is only. A setting found first wins; a
//   later file of the same name only adds settings the earlier one lacks.
// - "module:" names the library, a relative name in p11-kit's module folder;
//   an empty one leaves the module out. "enable-in:"/"disable-in:" list the
//   programs that load it (or do not). "remote:" modules run elsewhere and
//   are left out here, as are trust-policy modules (CA certificates, never
//   a key).
// - Order: higher "priority:" first, then by name.
// - A line that is no "name: value" setting, a [section] or a file that
//   cannot be read makes the registry unusable, as in p11-kit. Files are
//   read through their descriptor and only when they are regular files of
//   at most 64 KiB, so a FIFO or a huge file planted there cannot stall or
//   swell the tool.
// - Root, and a program running set-user-id (AT_SECURE), read no user
//   configuration.

#include <string>
#include <vector>

namespace signtool {

struct RegistryPlaces {
    std::string systemConfig;   // the global file
    std::string userConfig;     // the user's global file; empty: none
    std::string userModules;    // the user's module folder; empty: none
    std::string systemModules;
    std::string packageModules;
    std::string moduleFolder;   // where a relative module name lies
    std::string programName;    // what enable-in and disable-in name
};

// The places of this machine's p11-kit, "~/" taken from $HOME (else the
// user's home folder), and this program's name.
RegistryPlaces systemRegistryPlaces();

struct RegisteredModules {
    std::vector<std::string> paths; // the libraries, in p11-kit's order
    std::vector<std::string> names; // each one's p11-kit name ("softhsm2"), beside its path
    std::string error;              // why the registry cannot be read; empty when it can
};

RegisteredModules registeredModules(const RegistryPlaces &places);

} // namespace signtool
