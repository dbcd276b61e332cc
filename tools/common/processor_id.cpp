// The processor's name from the kernel, and CPUID's vendor, family, model
// and stepping.
#include "processor_id.h"

#include <stdio.h>
#include <string.h>

#include "dispatch/cpu.h"

namespace {

std::string kernel_model_name() {
    FILE *f = fopen("/proc/cpuinfo", "r");
    if (!f) return "unknown processor";
    char line[512];
    std::string model = "unknown processor";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "model name", 10) == 0) {
            const char *c = strchr(line, ':');
            if (c) model = c + 2;
            break;
        }
    }
    fclose(f);
    while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
    return model;
}

}  // namespace

processor_id identify_processor() {
    processor_id p;
    p.name = kernel_model_name();
#if defined(__x86_64__)
    cpuid_record r;
    get_cpuid(&r, 0);
    char vendor[13];
    memcpy(vendor, &r.ebx, 4);
    memcpy(vendor + 4, &r.edx, 4);
    memcpy(vendor + 8, &r.ecx, 4);
    vendor[12] = 0;
    p.vendor = vendor;
    if (r.eax >= 1) {
        get_cpuid(&r, 1);
        // Leaf 1, EAX: stepping 3:0, model 7:4, family 11:8, extended model
        // 19:16, extended family 27:20.  The extended family adds to the
        // family where the family is 0xF; the extended model goes above the
        // model where the family is 0xF, or 6 (Intel's).
        const unsigned base_family = (r.eax >> 8) & 0xf, base_model = (r.eax >> 4) & 0xf;
        p.family = base_family == 0xf ? base_family + ((r.eax >> 20) & 0xff) : base_family;
        p.model = base_family == 0xf || base_family == 6 ? ((r.eax >> 12) & 0xf0) | base_model
                                                         : base_model;
        p.stepping = r.eax & 0xf;
        p.cpuid_known = true;
    }
#endif
    return p;
}

std::string processor_id::label() const {
    if (!cpuid_known) return name;
    char buf[160];
    snprintf(buf, sizeof buf, "%s (%s family %u (0x%x), model %u (0x%x), stepping %u)",
             name.c_str(), vendor.c_str(), family, family, model, model, stepping);
    return buf;
}
