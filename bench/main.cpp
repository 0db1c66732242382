// Runs every benchmark, then prints each library path's time as a ratio to
// its bare baseline measured in the same run, beside its goal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

// One goal: the library's run against its baseline's, and the most it may take.
struct Ratio {
  const char* what;
  const char* measured;
  const char* baseline;
  double goal;
  double perMeasured = 1;  // items per iteration, when times per item are compared
  double perBaseline = 1;
};

const Ratio kRatios[] = {
    {"request channel, query", "Channel/Query", "Bare/Query", 1.2},
    {"request channel, set", "Channel/Set", "Bare/Set", 1.2},
    {"setting store, read", "StoreRead", "BareRead", 1.2},
    {"setting store, write", "StoreWrite", "BareWrite", 1.2},
    {"event dispatch, 16 KB area", "Dispatch/Library", "Dispatch/Bare", 2.0},
    {"wake-up, driver event to join", "WakeUp/Join/manual_time", "WakeUp/PingPong/manual_time", 2.0},
    {"setting write, 10000 keys vs 10", "SettingWrite/10000/iterations:30000",
     "SettingWrite/10/iterations:30000", 1.5},
    {"enumeration per key, 20000 vs 1000", "Enumerate/20000", "Enumerate/1000", 1.5, 20000, 1000},
    {"service, driver query", "Service/Query", "Service/BareRoundTrip", 2.0},
    {"service, registry read", "Service/RegRead", "Service/BareRoundTrip", 2.0},
    {"service, registry write (no sync)", "Service/RegWrite", "Service/BareRoundTrip", 2.0},
    {"service, 1000 events: fetch, 4 vs 1", "ServiceEvents/4", "ServiceEvents/1", 2.0, 4, 1},
    // CPU seconds of the process: the join's work against its TLS handshake's.
    {"PEAP-MSCHAPv2 join vs its TLS", "Enterprise/PeapJoin/manual_time",
     "Enterprise/TlsHandshake/manual_time", 6.0},
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // The fastest repetition: on a shared machine the others carry its load.
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double seconds = run.GetAdjustedRealTime() * Scale(run.time_unit);
      auto [time, added] = times_.try_emplace(run.benchmark_name(), seconds);
      if (!added && seconds < time->second) time->second = seconds;
      for (const auto& [name, counter] : run.counters) counters_[name] = counter.value;
    }
  }

  void PrintRatios() const {
    std::printf("\n== library against bare baselines (ratio of times, goal) ==\n");
    for (const Ratio& r : kRatios) {
      auto measured = times_.find(r.measured);
      auto baseline = times_.find(r.baseline);
      if (measured == times_.end() || baseline == times_.end() || baseline->second <= 0) {
        std::printf("%-36s not measured on this platform\n", r.what);
        continue;
      }
      const double a = measured->second / r.perMeasured;
      const double b = baseline->second / r.perBaseline;
      std::printf("%-36s %8.2f  (goal <= %.1f%s; %s %.3g us, %s %.3g us)\n", r.what, a / b, r.goal,
                  a / b <= r.goal ? "" : ", MISSED", r.measured, a * 1e6, r.baseline, b * 1e6);
    }
    const auto join = times_.find("Enterprise/PeapJoin/manual_time");
    const auto tls = times_.find("Enterprise/TlsHandshake/manual_time");
    if (join != times_.end() && tls != times_.end() && join->second > 0)
      std::printf("%-36s %7.0f%%  of the join's CPU time is its TLS handshake\n", "802.1X TLS share",
                  100 * tls->second / join->second);
    auto counter = [&](const char* name) {
      auto found = counters_.find(name);
      return found == counters_.end() ? -1.0 : found->second;
    };
    if (counter("requests_KiB") >= -0.5 || counter("writes_KiB") >= -0.5) {
      std::printf(
          "%-36s %8.0f KiB over 1000000 requests, %.0f KiB over 100000 setting writes (goal <= 1024)\n",
          "resident size growth", counter("requests_KiB"), counter("writes_KiB"));
    }
  }

 private:
  static double Scale(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kNanosecond:
        return 1e-9;
      case benchmark::kMicrosecond:
        return 1e-6;
      case benchmark::kMillisecond:
        return 1e-3;
      default:
        return 1;
    }
  }

  std::map<std::string, double> times_;     // seconds per iteration
  std::map<std::string, double> counters_;  // by counter name
};

}  // namespace

int main(int argc, char** argv) {
  // Unless asked otherwise: three repetitions, interleaved with the other
  // benchmarks' so a path and its baseline see the same load; the ratios
  // take the fastest of each.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=3";
  char interleaving[] = "--benchmark_enable_random_interleaving=true";
  for (char* option : {repetitions, interleaving}) {
    const std::string name(option, std::string_view(option).find('='));
    bool asked = false;
    for (char* arg : args) asked = asked || std::string(arg).rfind(name, 0) == 0;
    if (!asked) args.insert(args.begin() + 1, option);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
