#include "library_watch.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "simhw/sim_hardware.h"

namespace krvsim {

long long mono_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string bare(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\n') --end;
    return text.substr(0, end);
}

bool is_settle_line(const krvtest::LogLine& l) {
    std::string t = bare(l.text);
    return t == "Nav Running ..." || t == "thNavigationFunc Stop ..." || t == "thNavigationFunc CANCEL ...";
}

long find_line(size_t from, const std::function<bool(const krvtest::LogLine&)>& pred, int ms) {
    long long until = mono_us() + ms * 1000LL;
    for (;;) {
        auto lines = krvtest::logs();
        for (size_t i = from; i < lines.size(); ++i)
            if (pred(lines[i])) return static_cast<long>(i);
        from = std::max(from, lines.size());
        long long left = until - mono_us();
        if (left <= 0) return -1;
        krvtest::wait_logs(lines.size() + 1, static_cast<int>(left / 1000 + 1));
    }
}

long find_text(size_t from, const std::string& text, int ms) {
    return find_line(
        from, [&](const krvtest::LogLine& l) { return bare(l.text) == text; }, ms);
}

bool worker_alive(const char* name) {
    int n = 0;
    for (const auto& l : krvtest::logs()) {
        if (bare(l.text) == std::string("++") + name) ++n;
        if (bare(l.text) == std::string("--") + name) --n;
    }
    return n > 0;
}

}  // namespace krvsim
