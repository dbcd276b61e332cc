// Reports what the library finds and chooses on this processor, and runs its
// power-on self-test directly:
//   features <detect_cpu() in hex>
//   form <name of the selected mixing form>
//   forms <number of forms in the table>
//   selftest <pass bits>
#include <cstdio>

#include "api/post.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"

int main() {
    const cpu_feature_flags flags = detect_cpu();
    std::printf("features %llx\n", static_cast<unsigned long long>(flags));
    std::printf("form %s\n", scrypt_select_form(flags)->name);
    std::printf("forms %u\n", scrypt_mix_form_count);
    std::printf("selftest %u\n", static_cast<unsigned>(scrypt_power_on_self_test()));
    return 0;
}
