// The main thread's work alone, under Google Benchmark: consumeOutput framing 16 KiB chunks
// (what the reader thread hands over) of lines of one kind, beside the literal front-deletion
// framing on the same chunks; and ZPReadyURL on every form of the ready-address table.
// cpu_time is the benchmark thread's own CPU time: the main thread's.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <numeric>

#include "bench_desktop.hpp"
#include "bench_lines.h"
#include "front_deletion.hpp"
#include "platform/task.hpp"
#include "supervisor/launcher.hpp"
#include "supervisor/ready_url.hpp"

namespace zp::bench {
namespace {

constexpr std::size_t kChunk = 16384;  // the reader thread's read size

struct LineKind {
  const char* name;
  std::string_view line;
};

// 1-, 10- and 100-byte lines (each counting its line feed), then the status lines a service
// really writes: one the prefilter skips, and two that are parsed and acted on.
const LineKind kKinds[] = {
    {"lines1", "\n"},
    {"lines10", "tick 0417\n"},
    {"lines100", ZP_BENCH_PLAIN_LINE},
    {"progress30", ZP_BENCH_JSON_LINE},
    {"busy18", "{\"status\":\"busy\"}\n"},
    {"ready51", ZP_BENCH_READY_LINE},
};

// The stream of `line` repeated, cut into 16 KiB chunks; as many chunks as it takes for the
// cut to come round to a line start again, so cycling through them is one endless stream.
std::vector<std::string> chunksOf(std::string_view line, std::size_t chunk = kChunk) {
  const std::size_t period = std::lcm(line.size(), chunk);
  std::string stream;
  stream.reserve(period);
  while (stream.size() < period) stream.append(line);
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < period; at += chunk) chunks.push_back(stream.substr(at, chunk));
  return chunks;
}

// A Launcher with cheap fakes, whose task is a running process of its own (so a ready line
// goes all the way to the browser seam), and nothing supervising its output.
struct FramingLauncher {
  FramingLauncher() : label(std::make_shared<BenchLabel>()) {
    launcher = std::make_shared<Launcher>(LauncherServices{
        .mainQueue = nullptr,
        .application = nullptr,
        .alerts = &alerts,
        .browser = &browser,
        .toolkit = &toolkit,
    });
    launcher->setMode("preview");
    launcher->setStatus(label);
    sleeper = std::make_shared<platform::Task>(platform::TaskOptions{.executable = "/bin/sleep", .arguments = {"3600"}});
    if (sleeper->launch()) launcher->setTask(sleeper);
  }
  ~FramingLauncher() {
    sleeper->terminate();
    sleeper->waitUntilExit();
  }
  FramingLauncher(const FramingLauncher&) = delete;
  FramingLauncher& operator=(const FramingLauncher&) = delete;

  std::shared_ptr<BenchLabel> label;
  BenchBrowser browser;
  BenchAlerts alerts;
  BenchToolkit toolkit;
  std::shared_ptr<platform::Task> sleeper;
  std::shared_ptr<Launcher> launcher;
};

void cursorFraming(benchmark::State& state, std::string_view line, std::size_t chunk) {
  const std::vector<std::string> chunks = chunksOf(line, chunk);
  FramingLauncher f;
  std::size_t next = 0;
  for (auto _ : state) {
    f.launcher->consumeOutput(chunks[next]);
    next = next + 1 == chunks.size() ? 0 : next + 1;
  }
  if (f.launcher->outputRejected()) state.SkipWithError("output refused");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(chunk));
  state.counters["opens"] = static_cast<double>(f.browser.opens);
}

void frontDeletionFraming(benchmark::State& state, std::string_view line, std::size_t chunk) {
  const std::vector<std::string> chunks = chunksOf(line, chunk);
  BenchLabel label;
  BenchBrowser browser;
  FrontDeletionFramer framer(&label, &browser);
  std::size_t next = 0;
  for (auto _ : state) {
    framer.consume(chunks[next]);
    next = next + 1 == chunks.size() ? 0 : next + 1;
  }
  if (framer.rejected()) state.SkipWithError("output refused");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(chunk));
  state.counters["opens"] = static_cast<double>(browser.opens);
}

struct Address {
  std::optional<std::string> url;
  bool accepted = false;
};

std::vector<Address> readTable(const char* path) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.load(path).get(root) != simdjson::SUCCESS) fail(std::string("cannot read ") + path);
  std::vector<Address> table;
  for (simdjson::dom::element item : root.get_array()) {
    Address a;
    std::string_view url;
    if (item["url"].get_string().get(url) == simdjson::SUCCESS) a.url = std::string(url);
    a.accepted = item["accepted"].get_bool().value_unsafe();
    table.push_back(std::move(a));
  }
  return table;
}

void readyUrl(benchmark::State& state, const Address& address) {
  const std::optional<std::string_view> value =
      address.url ? std::optional<std::string_view>(*address.url) : std::nullopt;
  for (auto _ : state) {
    auto result = ZPReadyURL(value);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void readyUrlTable(benchmark::State& state, const std::vector<Address>& table) {
  for (auto _ : state) {
    for (const Address& a : table) {
      auto result = ZPReadyURL(a.url ? std::optional<std::string_view>(*a.url) : std::nullopt);
      benchmark::DoNotOptimize(result);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(table.size()));
}

}  // namespace
}  // namespace zp::bench

int main(int argc, char** argv) {
  using namespace zp::bench;
  benchmark::Initialize(&argc, argv);

  for (const LineKind& kind : kKinds) {
    benchmark::RegisterBenchmark((std::string("Framing/cursor/") + kind.name).c_str(), cursorFraming, kind.line, kChunk);
    benchmark::RegisterBenchmark((std::string("Framing/front_deletion/") + kind.name).c_str(), frontDeletionFraming,
                                 kind.line, kChunk);
  }
  // The most one call may be given (nothing pending, 64 KiB of line feeds): the literal
  // framing's quadratic cost at its largest.
  benchmark::RegisterBenchmark("Framing/cursor/lines1_64k", cursorFraming, std::string_view("\n"), zp::kMaxPendingOutput);
  benchmark::RegisterBenchmark("Framing/front_deletion/lines1_64k", frontDeletionFraming, std::string_view("\n"),
                               zp::kMaxPendingOutput);

  // The table is checked against the gate first: a row it decides otherwise is a stale table.
  std::vector<Address> table;
  try {
    table = readTable(ZP_BENCH_ADDRESS_TABLE);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zp-bench: %s\n", error.what());
    return 1;
  }
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& a = table[i];
    const bool accepted = zp::ZPReadyURL(a.url ? std::optional<std::string_view>(*a.url) : std::nullopt).has_value();
    if (accepted != a.accepted) {
      std::fprintf(stderr, "zp-bench: ready-address table row %zu is decided otherwise\n", i);
      return 1;
    }
    const std::string name = std::string("ReadyURL/form") + (i < 10 ? "0" : "") + std::to_string(i);
    benchmark::RegisterBenchmark(name.c_str(), readyUrl, a);
  }
  benchmark::RegisterBenchmark("ReadyURL/table", readyUrlTable, table);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
