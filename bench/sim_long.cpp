// Long run of the table-history properties (tests/paradox/table_history.h) over a seed
// range, beyond what the test suite can afford:
//   sim_long <first seed> <last seed> [--huge] [--quiet]
// Per seed: the valid-table property, then every damage kind on a copy. Prints each
// failure with its seed and what went wrong, then a summary grouped by kind with the
// smallest seed of each, each labelled with the known library faults (known_faults.h)
// that explain it or UNEXPLAINED. Exit status 1 when anything failed, 2 on bad arguments.
// --huge makes tables beyond 32767 blocks (slow: seconds per seed).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "known_faults.h"
#include "table_history.h"

using namespace paradox::sim;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <first seed> <last seed> [--huge] [--quiet]\n", argv[0]);
    return 2;
  }
  const uint64_t first = std::strtoull(argv[1], nullptr, 10),
                 last = std::strtoull(argv[2], nullptr, 10);
  SimOptions options;
  bool quiet = false;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--huge") == 0)
      options.huge = true;
    else if (std::strcmp(argv[i], "--quiet") == 0)
      quiet = true;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  struct Group {
    uint64_t minSeed = 0;
    size_t count = 0;
  };
  std::map<std::string, Group> groups;
  size_t checks = 0, failures = 0;
  const auto start = std::chrono::steady_clock::now();
  size_t unexplained = 0;
  auto fail = [&](const SimTable& t, const std::string& property, const Outcome& o) {
    ++failures;
    bool all = false;
    std::string label;
    for (size_t k : ExplainFailure(t, property, o, &all))
      label += (label.empty() ? "" : ",") + std::to_string(k + 1);
    label = all ? "known [" + label + "]" : "UNEXPLAINED";
    if (!all) ++unexplained;
    Group& g = groups[label + " " + property + ": " + o.Signature()];
    if (g.count++ == 0 || t.seed < g.minSeed) g.minSeed = t.seed;
    if (!quiet)
      std::printf("FAIL %s seed %llu: %s (%s)\n  %s%s\n", property.c_str(),
                  (unsigned long long)t.seed, o.Signature().c_str(), label.c_str(),
                  t.description.c_str(), o.detail.c_str());
  };
  for (uint64_t seed = first; seed <= last; ++seed) {
    auto t = Simulate(seed, options);
    if (!t.ok()) {
      std::printf("FAIL seed %llu: simulator: %s\n", (unsigned long long)seed,
                  t.status().ToString().c_str());
      ++failures;
      continue;
    }
    ++checks;
    Outcome a = CheckCleanRoundTrip(*t, !options.huge);
    if (!a.ok()) fail(*t, "clean", a);
    for (int d = 0; d < kDamageCount; ++d) {
      Outcome b = CheckDamage(*t, Damage(d));
      if (!b.applicable) continue;
      ++checks;
      if (!b.ok()) fail(*t, DamageName(Damage(d)), b);
    }
    std::fflush(stdout);
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "\n%zu checks on seeds %llu..%llu, %zu failed (%zu not explained by a known fault), %.1f s\n",
      checks, (unsigned long long)first, (unsigned long long)last, failures, unexplained, secs);
  for (const auto& [sig, g] : groups)
    std::printf("  %6zu  min seed %-8llu %s\n", g.count, (unsigned long long)g.minSeed,
                sig.c_str());
  std::printf("known faults:\n");
  for (size_t k = 0; k < KnownFaults().size(); ++k)
    std::printf("  [%zu] %s\n", k + 1, KnownFaults()[k].name);
  return failures ? 1 : 0;
}
