// Cost of making an event line safe for the terminal (terminal_safe_text),
// against the least a relayed line costs besides: one write of it, here to
// a pipe that is read empty again. Rounds alternate the two on one pinned
// CPU; the figure is the median of the per-round ratios, for the relay's
// 80-byte printable lines and, reported, for lines with colour settings and
// of hostile bytes.
//
//   bench_terminal_text [rounds] [calls per round]
#include "bench_util.h"
#include "terminal_text.h"

namespace {

using namespace zb;

// Nanoseconds per call of handle(line, out) over calls calls.
template <typename Handle>
double ns_per_call(const std::string& line, std::vector<char>& out, int calls, Handle handle) {
    size_t total = 0;
    const int64_t start = now_ns();
    for (int i = 0; i < calls; ++i) {
        total += handle(line, out.data(), out.size());
        asm volatile("" : : "r"(out.data()) : "memory");  // the output is used
    }
    const int64_t spent = now_ns() - start;
    if (total == 0) fprintf(stderr, "nothing written\n");
    return static_cast<double>(spent) / calls;
}

size_t safe(const std::string& line, char* out, size_t size) {
    return terminal_safe_text(line.data(), line.size(), out, size);
}

// The baseline: the line written to a pipe and read back.
int pipe_fds[2];
size_t write_out(const std::string& line, char* out, size_t size) {
    if (write(pipe_fds[1], line.data(), line.size()) < 0) return 0;
    return static_cast<size_t>(std::max<ssize_t>(0, read(pipe_fds[0], out, size)));
}

// Measures one kind of line; reports it with the goal given.
bool measure(const char* kind, const std::string& line, int rounds, int calls, int cpu,
             const std::string& goal, double most) {
    std::vector<char> out(terminal_text_size(line.size()));
    std::vector<double> ratios, safe_ns, write_ns;
    const bool ok = gather({&ratios}, rounds, rounds * 4, 0.01, [&](int) {
        const double c = ns_per_call(line, out, calls, write_out);
        const double s = ns_per_call(line, out, calls, safe);
        write_ns.push_back(c);
        safe_ns.push_back(s);
        ratios.push_back(s / c);
        return true;
    });
    const Spread ratio = spread_of(ratios);
    printf("  %s: %.1f ns a line made safe, %.1f ns written\n", kind, median(safe_ns),
           median(write_ns));
    report(format("terminal-safe text, %s", kind), format("%.1f ns", median(safe_ns)),
           format("%.1f ns", median(write_ns)), ratio, pinning(cpu), goal, ratio.median <= most);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const int calls = argc > 2 ? std::max(1, atoi(argv[2])) : 200000;
    const int cpu = pin_to_one_cpu(0);
    if (pipe(pipe_fds) != 0) return 1;
    printf("  machine at start: %s\n", machine_state().c_str());
    std::string printable;
    for (int i = 0; i < 80; ++i)
        printable += static_cast<char>(' ' + i % 95);
    const std::string colour = "\x1b[1;31m" + printable.substr(0, 66) + "\x1b[0m";
    const std::string hostile(80, '\x9b');
    // The goal: a relayed line costs a write and more, so the relay's
    // figure moves by less than this.
    return measure("80 printable bytes", printable, rounds, calls, cpu, "<= 0.05x", 0.05) &&
                   measure("80 bytes with colour", colour, rounds, calls, cpu, "report", 1e9) &&
                   measure("80 C1 bytes", hostile, rounds, calls, cpu, "report", 1e9)
               ? 0
               : 1;
}
