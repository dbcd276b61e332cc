// Boots a minimal Linux under the Bochs emulator, with an XOP-capable CPU
// model, and runs one statically linked test program in it.
//
// The machine boots from an ISO image (isolinux, the kernel, an initramfs
// holding /init, /xop_guest and /args).  Its serial console goes to a file;
// /init prints the program's exit status there as a marked line, which is
// how the result comes back: Bochs' own exit status says nothing.
#ifndef SCRYPT_VORNIK_XOP_RUNNER_H
#define SCRYPT_VORNIK_XOP_RUNNER_H

#include <string>
#include <vector>

namespace xop {

struct run_config {
    std::string workdir;    // created; receives the ISO, config and logs
    std::string kernel;     // bzImage
    std::string init;       // static /init
    std::string guest;      // static test program, becomes /xop_guest
    std::string arguments;  // contents of /args
    std::string cpu_model = "zambezi";
    int timeout_seconds = 600;
};

struct run_result {
    // Empty when the machine ran; otherwise why it could not (a missing tool
    // or file: the caller skips).
    std::string unavailable;
    // Set when the machine ran but the run went wrong (timeout, no marker).
    std::string error;
    std::string console;    // serial console, CR LF turned into LF
    std::string exit_line;  // the text after the marker, e.g. "status 0"
    int exit_status = -1;   // the program's exit status, if it exited
    double seconds = 0;     // wall time of the emulator run
};

// Builds the image and runs the machine.
run_result run(const run_config &config);

// Finds the kernel: $SCRYPT_XOP_KERNEL, else <dir>/vmlinuz, else fetches
// Debian's cloud kernel into <dir> with `fetch_script`.  Returns the path,
// or an empty string with the reason in `why`.
std::string find_kernel(const std::string &dir, const std::string &fetch_script, std::string &why);

// Reads a whole file; false if it cannot be opened.
bool read_file(const std::string &path, std::string &out);

// The lines of `console` that start with `prefix`, in order.
std::vector<std::string> lines_with_prefix(const std::string &console, const std::string &prefix);

}  // namespace xop

#endif
