// Every performance goal of the library measured beside its reference in one
// run, printed as one table. `--quick` runs each measure briefly; `--only`
// runs one group of rows (for profiling).

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "log.h"
#include "rows.h"
#include "support/loop_thread.h"

namespace {

std::atomic<unsigned long> g_log_lines{0};

// An application that takes every log line and does nothing with it.
bool take_line(const char*) {
    g_log_lines.fetch_add(1, std::memory_order_relaxed);
    return true;
}

std::string number(double v) {
    char b[32];
    if (v >= 100)
        snprintf(b, sizeof b, "%.0f", v);
    else if (v >= 10)
        snprintf(b, sizeof b, "%.1f", v);
    else
        snprintf(b, sizeof b, "%.2f", v);
    return b;
}

void print_table(const std::vector<perf::Row>& rows) {
    printf("%-56s | %12s | %12s | %6s | %-16s | %s\n", "measure", "library", "reference", "ratio", "goal", "met");
    printf("%s\n", std::string(56 + 12 + 12 + 6 + 16 + 3 + 5 * 3, '-').c_str());
    for (const perf::Row& r : rows) {
        if (!r.ran) {
            printf("%-56s | %12s | %12s | %6s | %-16s | %s\n", r.measure.c_str(), "-", "-", "-", r.goal.c_str(), "no");
            continue;
        }
        const std::string lib = number(r.library) + " " + r.unit;
        const std::string ref = number(r.reference) + " " + r.unit;
        const std::string ratio = r.reference > 0 ? number(r.library / r.reference) : "-";
        printf("%-56s | %12s | %12s | %6s | %-16s | %s\n", r.measure.c_str(), lib.c_str(), ref.c_str(), ratio.c_str(),
               r.goal.c_str(), r.met ? "yes" : "no");
    }
    for (const perf::Row& r : rows)
        if (!r.note.empty()) printf("  %s: %s\n", r.measure.c_str(), r.note.c_str());
}

}  // namespace

namespace perf {

Row failed_row(const std::string& measure, const std::string& why) {
    fprintf(stderr, "perf_table: %s: %s\n", measure.c_str(), why.c_str());
    Row r;
    r.measure = measure;
    r.ran = false;
    return r;
}

}  // namespace perf

int main(int argc, char** argv) {
    perf::Options options;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            options.quick = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            fprintf(stderr, "usage: perf_table [--quick] [--only calls|sessions|idle]\n");
            return 2;
        }
    }
    SetLogSink2(take_line);
    nuvra_test::ensure_loop_thread();

    // The idle instances are measured first, on a heap that no other
    // measure has left its freed blocks in; the table keeps its order.
    using Part = std::vector<perf::Row> (*)(const perf::Options&);
    const std::pair<const char*, Part> parts[] = {
        {"idle", perf::idle_rows}, {"calls", perf::call_rows}, {"sessions", perf::session_rows}};
    std::map<std::string, std::vector<perf::Row>> got;
    for (const auto& part : parts)
        if (only.empty() || only == part.first) got[part.first] = part.second(options);
    std::vector<perf::Row> rows;
    for (const char* name : {"calls", "sessions", "idle"}) rows.insert(rows.end(), got[name].begin(), got[name].end());
    print_table(rows);
    fflush(stdout);
    int missing = 0;
    for (const perf::Row& r : rows) missing += !r.ran;
    // The loop thread never ends; leave without running static destructors under it.
    _exit(missing == 0 ? 0 : 1);
}
