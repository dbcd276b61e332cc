// The benchmark's shared helpers and its section registry (see bench.h).
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "bench.h"
#include "scrypt-vornik.h"

extern char **environ;

namespace bench {

double now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fmt_time(double s) {
    char buf[32];
    if (s < 1e-3)
        snprintf(buf, sizeof buf, "%.1f us", s * 1e6);
    else if (s < 1)
        snprintf(buf, sizeof buf, "%.2f ms", s * 1e3);
    else
        snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

std::string fmt_bytes(double b) {
    char buf[32];
    if (b < 1024 * 1024)
        snprintf(buf, sizeof buf, "%.1f KiB", b / 1024);
    else
        snprintf(buf, sizeof buf, "%.2f MiB", b / (1024 * 1024));
    return buf;
}

uint32_t *aligned_words(size_t bytes) {
    void *p = nullptr;
    if (posix_memalign(&p, 64, bytes) != 0) {
        fprintf(stderr, "scrypt_bench: out of memory (%zu bytes)\n", bytes);
        exit(1);
    }
    memset(p, 0x5a, bytes);
    return (uint32_t *)p;
}

uint32_t *table_words(size_t bytes) {
    void *p = nullptr;
    if (posix_memalign(&p, 2 << 20, bytes) != 0) {
        fprintf(stderr, "scrypt_bench: out of memory (%zu bytes)\n", bytes);
        exit(1);
    }
#if defined(MADV_HUGEPAGE)
    if (bytes >= (4u << 20)) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    memset(p, 0x5a, bytes);
    return (uint32_t *)p;
}

void fill_random(uint32_t *w, size_t words, uint32_t seed) {
    uint32_t s = seed | 1;
    for (size_t i = 0; i < words; i++) {
        s ^= s << 13, s ^= s >> 17, s ^= s << 5;
        w[i] = s;
    }
}

const factor_set sets[6] = {{3, 0, 0}, {9, 0, 0}, {9, 3, 4}, {13, 3, 0}, {16, 3, 0}, {19, 3, 0}};

const uint8_t password[9] = "password";
const uint8_t salt[5] = "NaCl";

void library_derive(const factor_set &f, uint8_t *out) {
    scrypt(password, password_len, salt, salt_len, f.Nfactor, f.rfactor, f.pfactor, out, out_len);
}

factor_set other_than(const factor_set &f) {
    return f.Nfactor == 3 && f.rfactor == 0 && f.pfactor == 0 ? factor_set{3, 0, 1}
                                                              : factor_set{3, 0, 0};
}

double detect_cpu_seconds = 0;
double scalar_add_latency_ns = 0;
std::string csv_dir;

FILE *csv_file(const char *name, const char *header) {
    if (csv_dir.empty()) return nullptr;
    const std::string path = csv_dir + "/" + name;
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        fprintf(stderr, "scrypt_bench: cannot write %s\n", path.c_str());
        return nullptr;
    }
    fprintf(f, "%s\n", header);
    return f;
}

std::string run_child(const std::vector<std::string> &args) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<std::string> all = {"scrypt_bench", "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string text;
    if (rc == 0) {
        char buf[512];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text.clear();
    }
    close(fds[0]);
    return text;
}

void run_program(const char *path, const char *name) {
    if (access(path, X_OK) != 0) {
        printf("   %s is not built\n", path);
        return;
    }
    fflush(stdout);
    char *argv[] = {(char *)name, nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
        printf("   could not start %s\n", path);
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        printf("   %s failed (status %d)\n", name, status);
}

// The lists start empty before any dynamic initialisation (constant
// initialisation), so registrations in any file and any order find them.
namespace {
section *section_list = nullptr;
child_mode *child_list = nullptr;
}  // namespace

section_registration::section_registration(section &s) {
    s.next = section_list;
    section_list = &s;
}

child_registration::child_registration(child_mode &c) {
    c.next = child_list;
    child_list = &c;
}

std::vector<const section *> sections() {
    std::vector<const section *> all;
    for (const section *s = section_list; s; s = s->next) all.push_back(s);
    std::stable_sort(all.begin(), all.end(),
                     [](const section *a, const section *b) { return a->order < b->order; });
    return all;
}

const child_mode *find_child_mode(const char *mode) {
    for (const child_mode *c = child_list; c; c = c->next)
        if (strcmp(c->mode, mode) == 0) return c;
    return nullptr;
}

}  // namespace bench
