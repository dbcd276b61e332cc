// The processor a program runs on, as a person names it: the kernel's model
// name and CPUID's vendor, family, model and stepping.  Shared by the
// benchmark and the scrypt-vornik program's `info`; linked with the
// library's private objects (for get_cpuid).
#ifndef SCRYPT_VORNIK_PROCESSOR_ID_H
#define SCRYPT_VORNIK_PROCESSOR_ID_H

#include <string>

struct processor_id {
    std::string name;                              // the kernel's "model name"
    std::string vendor;                            // CPUID leaf 0, e.g. "AuthenticAMD"
    unsigned family = 0, model = 0, stepping = 0;  // CPUID leaf 1, decoded
    bool cpuid_known = false;                      // vendor and numbers are set
    // "AMD EPYC (AuthenticAMD family 25 (0x19), model 17 (0x11), stepping 1)"
    std::string label() const;
};
processor_id identify_processor();

#endif
