#include "runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace xop {
namespace {

bool write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return bool(out.flush());
}

bool exists(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

// The first of `candidates` that exists, or "".
std::string first_existing(std::initializer_list<const char *> candidates) {
    for (const char *c : candidates)
        if (exists(c)) return c;
    return "";
}

// Full path of `program` on $PATH, or "".
std::string which(const std::string &program) {
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string p = (dir.empty() ? "." : dir) + "/" + program;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

// Runs argv with standard input from /dev/null and both outputs into `log`,
// in a process group of its own that is killed after `timeout_seconds`.
// Returns the wait status, or -1 on timeout or failure to start.
int run_program(const std::vector<std::string> &argv, const std::string &log, int timeout_seconds,
                std::string &error) {
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + strerror(errno);
        return -1;
    }
    if (pid == 0) {
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    for (;;) {
        int status;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) {
            error = std::string("waitpid: ") + strerror(errno);
            return -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            error = "timed out after " + std::to_string(timeout_seconds) + " s";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Writer of the "newc" cpio format that the kernel unpacks as initramfs.
// Writing it here, rather than with cpio(1) over a staging directory, lets
// the archive hold the /dev/console node without the privilege to mknod.
class newc_archive {
  public:
    void directory(const std::string &name) { entry(name, 040755, 0, 0, ""); }
    void char_device(const std::string &name, unsigned major, unsigned minor) {
        entry(name, 020600, major, minor, "");
    }
    void file(const std::string &name, unsigned mode, const std::string &data) {
        entry(name, 0100000 | mode, 0, 0, data);
    }
    std::string finish() {
        entry("TRAILER!!!", 0, 0, 0, "");
        return std::move(out_);
    }

  private:
    void entry(const std::string &name, unsigned mode, unsigned rmajor, unsigned rminor,
               const std::string &data) {
        char header[111];
        snprintf(header, sizeof header,
                 "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", ino_++, mode, 0u,
                 0u, (mode & 040000) ? 2u : 1u, 0u, data.size(), 0u, 0u, rmajor, rminor,
                 name.size() + 1, 0u);
        out_.append(header, 110);
        out_.append(name);
        out_.push_back('\0');
        pad();
        out_.append(data);
        pad();
    }
    void pad() {
        while (out_.size() % 4) out_.push_back('\0');
    }
    std::string out_;
    unsigned ino_ = 1;
};

}  // namespace

std::vector<std::string> lines_with_prefix(const std::string &console, const std::string &prefix) {
    std::vector<std::string> lines;
    std::istringstream in(console);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

std::string find_kernel(const std::string &dir, const std::string &fetch_script, std::string &why) {
    if (const char *k = getenv("SCRYPT_XOP_KERNEL"); k && *k) {
        if (exists(k)) return k;
        why = std::string("SCRYPT_XOP_KERNEL names a missing file: ") + k;
        return "";
    }
    const std::string kernel = dir + "/vmlinuz";
    if (exists(kernel)) return kernel;
    mkdir(dir.c_str(), 0755);
    const std::string log = dir + "/fetch.log";
    std::string error;
    const int status = run_program({"sh", fetch_script, dir}, log, 600, error);
    if (status == 0 && exists(kernel)) return kernel;
    std::string output;
    read_file(log, output);
    why = "could not fetch Debian's cloud kernel (" + (error.empty() ? output : error) +
          "); set SCRYPT_XOP_KERNEL to a bzImage";
    return "";
}

run_result run(const run_config &config) {
    run_result result;
    const std::string bochs = which("bochs");
    const std::string genisoimage = which("genisoimage");
    const std::string isolinux = first_existing({"/usr/lib/ISOLINUX/isolinux.bin"});
    const std::string ldlinux = first_existing({"/usr/lib/syslinux/modules/bios/ldlinux.c32"});
    const std::string bios = first_existing({"/usr/share/bochs/BIOS-bochs-latest"});
    const std::string vgabios =
        first_existing({"/usr/share/bochs/VGABIOS-lgpl-latest", "/usr/share/vgabios/vgabios.bin"});
    if (bochs.empty())
        result.unavailable = "bochs is not installed (apt-get install bochs)";
    else if (genisoimage.empty())
        result.unavailable = "genisoimage is not installed";
    else if (isolinux.empty())
        result.unavailable = "isolinux.bin not found (package isolinux)";
    else if (ldlinux.empty())
        result.unavailable = "ldlinux.c32 not found (syslinux-common)";
    else if (bios.empty())
        result.unavailable = "the Bochs BIOS is missing (bochsbios)";
    else if (vgabios.empty())
        result.unavailable = "the VGA BIOS is missing (vgabios)";
    if (!result.unavailable.empty()) return result;

    std::string kernel, init, guest;
    if (!read_file(config.kernel, kernel))
        result.unavailable = "cannot read " + config.kernel;
    else if (!read_file(config.init, init))
        result.unavailable = "cannot read " + config.init;
    else if (!read_file(config.guest, guest))
        result.unavailable = "cannot read " + config.guest;
    if (!result.unavailable.empty()) return result;

    // The image: isolinux boots the kernel with the initramfs.
    const std::string &w = config.workdir;
    const std::string tree = w + "/iso";
    const std::string iso = w + "/boot.iso";
    const std::string console_log = w + "/console.log";
    const std::string bochs_log = w + "/bochs.log";
    for (const std::string &d : {w, tree, tree + "/isolinux"}) mkdir(d.c_str(), 0755);

    newc_archive cpio;
    cpio.directory("dev");
    cpio.char_device("dev/console", 5, 1);
    cpio.file("init", 0755, init);
    cpio.file("xop_guest", 0755, guest);
    cpio.file("args", 0644, config.arguments);

    std::string isolinux_bin, ldlinux_c32;
    read_file(isolinux, isolinux_bin);
    read_file(ldlinux, ldlinux_c32);
    // The kernel stays quiet, skips the crypto self-tests that would cost
    // seconds under emulation, and reboots at once (stopping the emulator)
    // should /init ever die.
    const char *isolinux_cfg =
        "DEFAULT linux\n"
        "PROMPT 0\n"
        "TIMEOUT 0\n"
        "LABEL linux\n"
        "  KERNEL /vmlinuz\n"
        "  INITRD /initrd.img\n"
        "  APPEND console=ttyS0,115200 quiet cryptomgr.notests=1 panic=-1 reboot=t\n";
    if (!write_file(tree + "/isolinux/isolinux.bin", isolinux_bin) ||
        !write_file(tree + "/isolinux/ldlinux.c32", ldlinux_c32) ||
        !write_file(tree + "/isolinux/isolinux.cfg", isolinux_cfg) ||
        !write_file(tree + "/vmlinuz", kernel) ||
        !write_file(tree + "/initrd.img", cpio.finish())) {
        result.error = "cannot write the image tree under " + tree;
        return result;
    }
    std::string error;
    int status = run_program(
        {genisoimage, "-quiet", "-o", iso, "-b", "isolinux/isolinux.bin", "-c", "isolinux/boot.cat",
         "-no-emul-boot", "-boot-load-size", "4", "-boot-info-table", "-R", tree},
        w + "/genisoimage.log", 120, error);
    if (status != 0) {
        std::string log;
        read_file(w + "/genisoimage.log", log);
        result.error = "genisoimage failed: " + (error.empty() ? log : error);
        return result;
    }

    // The machine.  Debian's bochs has no headless display; its VNC display
    // (rfb) runs without waiting for a viewer, inside a network namespace of
    // its own so that its listening socket is reachable from nowhere and
    // concurrent runs do not compete for the port.  The clock runs free (no
    // slowing down to real time), the speaker is off, and any emulator panic
    // ends the run.
    std::ostringstream rc;
    rc << "plugin_ctrl: speaker=0\n"
       << "config_interface: textconfig\n"
       << "display_library: rfb, options=\"timeout=0\"\n"
       << "romimage: file=" << bios << "\n"
       << "vgaromimage: file=" << vgabios << "\n"
       << "megs: 256\n"
       << "cpu: model=" << config.cpu_model
       << ", count=1, reset_on_triple_fault=0, ignore_bad_msrs=1\n"
       << "ata0-master: type=cdrom, path=" << iso << ", status=inserted\n"
       << "boot: cdrom\n"
       << "clock: sync=none, time0=local\n"
       << "speaker: enabled=0\n"
       // Without a sound device the default ALSA driver's mixer thread
       // still starts, and aborts on a machine without a sound card.
       << "sound: driver=dummy\n"
       << "mouse: enabled=0\n"
       << "com1: enabled=1, mode=file, dev=" << console_log << "\n"
       << "panic: action=fatal\n"
       << "error: action=report\n"
       << "log: " << w << "/bochs-events.log\n";
    const std::string bochsrc = w + "/bochsrc";
    const std::string commands = w + "/commands";
    // Bochs is built with its debugger: continue, then quit when the
    // machine stops.
    if (!write_file(bochsrc, rc.str()) || !write_file(commands, "c\nquit\n")) {
        result.error = "cannot write the Bochs configuration";
        return result;
    }
    unlink(console_log.c_str());

    // As root a plain network namespace will do; otherwise a user namespace
    // maps the caller to root inside it, where the kernel allows that.
    std::vector<std::string> argv;
    for (const auto &prefix :
         {std::vector<std::string>{"unshare", "--net"},
          std::vector<std::string>{"unshare", "--user", "--map-root-user", "--net"}}) {
        std::vector<std::string> probe = prefix;
        probe.push_back("true");
        std::string ignored;
        if (run_program(probe, w + "/unshare.log", 30, ignored) == 0) {
            argv = prefix;
            break;
        }
    }
    if (argv.empty()) {
        result.unavailable =
            "cannot make a private network namespace for the emulator's display (unshare "
            "--net needs root, or user namespaces)";
        return result;
    }
    for (const std::string &a :
         {bochs, std::string("-q"), std::string("-f"), bochsrc, std::string("-rc"), commands})
        argv.push_back(a);

    const auto start = std::chrono::steady_clock::now();
    status = run_program(argv, bochs_log, config.timeout_seconds, error);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::string raw;
    read_file(console_log, raw);
    result.console.reserve(raw.size());
    for (char c : raw)
        if (c != '\r') result.console.push_back(c);

    // Bochs exits with 1 even after a clean power-off; the console decides.
    static const std::string marker = "@@XOP-GUEST-EXIT ";
    const auto lines = lines_with_prefix(result.console, marker);
    if (!lines.empty()) {
        std::string rest = lines.back().substr(marker.size());
        if (rest.size() >= 2 && rest.compare(rest.size() - 2, 2, "@@") == 0)
            rest.resize(rest.size() - 2);
        result.exit_line = rest;
        int code;
        if (sscanf(rest.c_str(), "status %d", &code) == 1) result.exit_status = code;
    }
    if (!error.empty())
        result.error = "bochs " + error;
    else if (lines.empty())
        result.error = "the console log has no exit-status line (bochs wait status " +
                       std::to_string(status) + "; see " + bochs_log + ")";
    return result;
}

bool read_file(const std::string &path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

}  // namespace xop
