// Memory of an idle registered telnet session: Private (clean + dirty) and
// PSS from /proc/<pid>/smaps_rollup, against a minimal C++ program with the
// same threads (answer reader, event reader, log reader) and buffers, idle
// on its own terminal at the same time. With the stripped size of the ppc
// shell and of the baseline built the same way, it also reports the size.
//
//   bench_memory [samples] [--ppc-size ZCON BASELINE]
#include <sys/stat.h>

#include <thread>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

// Size of a file in bytes, or -1.
long file_size(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 && argv[1][0] != '-' ? std::max(1, atoi(argv[1])) : 9;
    const char* ppc_zcon = nullptr;
    const char* ppc_baseline = nullptr;
    for (int i = 1; i + 2 < argc; ++i) {
        if (strcmp(argv[i], "--ppc-size") == 0) {
            ppc_zcon = argv[i + 1];
            ppc_baseline = argv[i + 2];
        }
    }
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    env.start_syslogd();  // the telnet session's log reader stays up
    MiniServer server;
    PtyChild shell = spawn_on_pty({zt::bin_path("zcon"), "-t", "telnet"});
    if (!wait_for([&] { return server.log().registrations.load() >= 1; }) ||
        !write_all(shell.master.get(), "\r") || !read_until_text(shell.master.get(), "-> ")) {
        fprintf(stderr, "zcon did not come up\n");
        return 1;
    }
    PtyChild minimal = spawn_on_pty(
        {sibling_path("bench_baseline"), "idle", "/tmp/b-idle", "/tmp/sysloglisteners/b-idle"});
    if (!read_until_text(minimal.master.get(), "ready")) {
        fprintf(stderr, "baseline did not come up\n");
        return 1;
    }

    printf("  machine at start: %s\n", machine_state().c_str());
    std::vector<double> zp, zs, bp, bs, private_ratios, pss_ratios;
    for (int i = 0; i < samples; ++i) {
        // Spaced samples of two idle programs: the medians ride out a
        // moment when another process maps or drops a shared library.
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Memory z = memory_of(shell.pid);
        const Memory b = memory_of(minimal.pid);
        zp.push_back(z.private_kib);
        zs.push_back(z.pss_kib);
        bp.push_back(b.private_kib);
        bs.push_back(b.pss_kib);
        private_ratios.push_back(z.private_kib / b.private_kib);
        pss_ratios.push_back(z.pss_kib / b.pss_kib);
    }
    const Spread private_ratio = spread_of(private_ratios);
    const Spread pss_ratio = spread_of(pss_ratios);
    printf("idle registered telnet session, %d samples, medians\n", samples);
    printf("  zcon Private %.0f KiB, PSS %.0f KiB; baseline Private %.0f KiB, PSS %.0f KiB\n",
           median(zp), median(zs), median(bp), median(bs));
    report("idle session memory, Private", format("%.0f KiB", median(zp)),
           format("%.0f KiB", median(bp)), private_ratio, "no", "<= 1.30x",
           private_ratio.median <= 1.3);
    report("idle session memory, PSS", format("%.0f KiB", median(zs)),
           format("%.0f KiB", median(bs)), pss_ratio, "no", "<= 1.30x", pss_ratio.median <= 1.3);

    if (ppc_zcon != nullptr) {
        const long z = file_size(ppc_zcon);
        const long b = file_size(ppc_baseline);
        if (z <= 0 || b <= 0) {
            fprintf(stderr, "no stripped ppc programs to measure\n");
            return 1;
        }
        printf("  stripped ppc: zcon %ld bytes, baseline %ld bytes\n", z, b);
        report("stripped ppc binary size", format("%.1f KB", z / 1000.0),
               format("%.1f KB", b / 1000.0),
               exact(static_cast<double>(z) / static_cast<double>(b)), "no", "<= 120 KB",
               z <= 120000);
    }
    return 0;
}
