// The live measurements: real processes, real pipes, the real Launcher on a headless run loop,
// the real executable in a temporary bundle. Each subcommand prints one JSON object; the table
// script (run_bench.py) runs them, each in a fresh process where memory is measured.
//
//   limits  --service S --bytes N --reps R --spawns K   pipe bandwidth, memchr, spawning /bin/true
//   latency --service S --runs N                        ready line to the browser seam, beside the two-hop floor
//   flood   --service S --kind plain|json --bytes N     one flood through the Launcher: wall time and peak RSS
//   e2e     --app A --service S --bare B --print-line P --describe-only D
//           --startup-runs N --cli-runs M --idle-seconds T --settle-seconds U
#include <sys/resource.h>

#include <thread>

#include "bench_desktop.hpp"
#include "bench_lines.h"
#include "bench_util.hpp"
#include "platform/run_loop.hpp"
#include "platform/task.hpp"

namespace zp::bench {
namespace {

constexpr std::string_view kPlain = ZP_BENCH_PLAIN_LINE;
constexpr std::string_view kJson = ZP_BENCH_JSON_LINE;

// --name value pairs.
class Options {
 public:
  Options(int argc, char** argv) {
    for (int i = 0; i + 1 < argc; i += 2) values_[argv[i]] = argv[i + 1];
  }
  std::string text(const std::string& name, const std::string& fallback = {}) const {
    const auto it = values_.find("--" + name);
    if (it != values_.end()) return it->second;
    if (fallback.empty()) fail("missing --" + name);
    return fallback;
  }
  unsigned long long number(const std::string& name, unsigned long long fallback) const {
    const auto it = values_.find("--" + name);
    return it == values_.end() ? fallback : std::strtoull(it->second.c_str(), nullptr, 10);
  }
  double real(const std::string& name, double fallback) const {
    const auto it = values_.find("--" + name);
    return it == values_.end() ? fallback : std::strtod(it->second.c_str(), nullptr);
  }

 private:
  std::map<std::string, std::string> values_;
};

std::string_view lineOf(const std::string& kind) { return kind == "json" ? kJson : kPlain; }
unsigned long long wholeLines(unsigned long long bytes, std::string_view line) { return bytes - bytes % line.size(); }

void openPipe(int (&ends)[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
}

// A bundle-like folder: Resources/python/bin/python3 is the fake service, `conf` its orders.
struct ServiceFolder {
  ServiceFolder(const std::string& service, const std::string& conf) {
    fs::create_directories(runtime().parent_path());
    fs::create_directories(home());
    fs::copy_file(service, runtime(), fs::copy_options::overwrite_existing);
    writeText(resources() / ZP_BENCH_CONF, conf + "\n");
  }
  fs::path resources() const { return dir.path() / "Resources"; }
  fs::path home() const { return dir.path() / "home"; }
  fs::path runtime() const { return resources() / "python" / "bin" / "python3"; }
  fs::path notes() const { return resources() / ZP_BENCH_TIMES; }
  TempDir dir{"zp-bench-service"};
};

// --- limits ----------------------------------------------------------------------------------

// The writer into a C reader doing read() of 64 KiB (the pipe's whole capacity) until EOF.
double pipeIntoRead(const std::string& service, const std::string& kind, unsigned long long bytes) {
  int ends[2];
  openPipe(ends);
  const std::uint64_t start = nowNs();
  const pid_t writer = spawn({service, "flood", kind, std::to_string(bytes)}, {.out = ends[1]});
  ::close(ends[1]);
  static char buffer[65536];
  unsigned long long total = 0;
  for (;;) {
    const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<unsigned long long>(n);
  }
  const int status = waitExit(writer);
  const std::uint64_t end = nowNs();
  ::close(ends[0]);
  if (status != 0 || total != wholeLines(bytes, lineOf(kind))) fail("pipe reference: short read");
  return static_cast<double>(end - start) / 1e9;
}

// The writer into `cat > /dev/null`.
double pipeIntoCat(const std::string& service, const std::string& kind, unsigned long long bytes) {
  int ends[2];
  openPipe(ends);
  const std::uint64_t start = nowNs();
  const pid_t writer = spawn({service, "flood", kind, std::to_string(bytes)}, {.out = ends[1]});
  const pid_t cat = spawn({"/bin/cat"}, {.in = ends[0]});
  ::close(ends[0]);
  ::close(ends[1]);
  const int w = waitExit(writer);
  const int c = waitExit(cat);
  const std::uint64_t end = nowNs();
  if (w != 0 || c != 0) fail("cat reference failed");
  return static_cast<double>(end - start) / 1e9;
}

// The launcher's hand-off with none of its work: the launcher's own reader (Task, reading at
// most 16 KiB, a few chunks a delivery, a few deliveries in flight) into a RunLoop, whose main
// thread only finds each line feed. What the two-thread design costs by itself.
double pipeIntoHandoff(const std::string& service, const std::string& kind, unsigned long long bytes) {
  auto loop = std::make_shared<platform::RunLoop>();
  unsigned long long lines = 0;
  bool endOfFile = false;
  bool exited = false;
  auto task = std::make_shared<platform::Task>(platform::TaskOptions{
      .executable = service,
      .arguments = {"flood", kind, std::to_string(bytes)},
      .standardOutput = platform::StandardStream::Pipe,
      .standardError = platform::StandardStream::NullDevice});
  task->setOutputHandler(loop, [&](std::string chunk) {
    if (chunk.empty()) endOfFile = true;
    for (const char* p = chunk.data();
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(chunk.data() + chunk.size() - p)))) !=
         nullptr;
         ++p) {
      ++lines;
    }
  });
  task->setTerminationHandler(loop, [&](const std::shared_ptr<platform::Task>&) { exited = true; });
  const std::uint64_t start = nowNs();
  if (!task->launch()) fail("hand-off reference: the writer did not start");
  if (!loop->runUntil([&] { return endOfFile && exited; }, std::chrono::minutes(10))) fail("hand-off reference: no end");
  const std::uint64_t end = nowNs();
  const platform::ExitStatus status = task->exitStatus();
  if (status != platform::ExitStatus{platform::ExitStatus::Kind::Exited, 0} ||
      lines != wholeLines(bytes, lineOf(kind)) / lineOf(kind).size()) {
    fail("hand-off reference: lines lost");
  }
  return static_cast<double>(end - start) / 1e9;
}

// memchr from line feed to line feed over the same bytes, held in memory: the framing floor.
double memchrRate(const std::string& kind, unsigned long long bytes) {
  const std::string_view line = lineOf(kind);
  const std::size_t size = static_cast<std::size_t>(std::min<unsigned long long>(
      std::max<unsigned long long>(wholeLines(bytes, line), line.size()), wholeLines(64ULL << 20, line)));
  std::string block;
  block.reserve(size);
  while (block.size() < size) block.append(line);
  unsigned long long scanned = 0;
  std::size_t lines = 0;
  const std::uint64_t start = nowNs();
  while (scanned < bytes) {
    const char* p = block.data();
    const char* end = p + block.size();
    while (p < end) {
      const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (found == nullptr) break;
      p = static_cast<const char*>(found) + 1;
      ++lines;
    }
    scanned += block.size();
  }
  const double seconds = static_cast<double>(nowNs() - start) / 1e9;
  if (lines == 0) fail("memchr found nothing");
  return static_cast<double>(scanned) / seconds;
}

int limits(const Options& o) {
  const std::string service = fs::absolute(o.text("service")).string();
  const unsigned long long bytes = o.number("bytes", 1ULL << 30);
  const auto reps = static_cast<int>(o.number("reps", 3));
  const auto spawns = static_cast<int>(o.number("spawns", 300));
  Json out;
  for (const std::string kind : {"plain", "json"}) {
    std::vector<double> viaRead;
    std::vector<double> viaCat;
    std::vector<double> viaHandoff;
    for (int i = 0; i < reps; ++i) {
      viaRead.push_back(pipeIntoRead(service, kind, bytes));
      viaCat.push_back(pipeIntoCat(service, kind, bytes));
      viaHandoff.push_back(pipeIntoHandoff(service, kind, bytes));
    }
    const double moved = static_cast<double>(wholeLines(bytes, lineOf(kind)));
    Json k;
    k.integer("bytes", static_cast<long long>(moved));
    k.num("read_seconds", quantile(viaRead, 0.5)).num("cat_seconds", quantile(viaCat, 0.5));
    k.num("read_bytes_per_second", moved / quantile(viaRead, 0.5));
    k.num("cat_bytes_per_second", moved / quantile(viaCat, 0.5));
    k.num("handoff_bytes_per_second", moved / quantile(viaHandoff, 0.5));
    k.num("memchr_bytes_per_second", memchrRate(kind, bytes));
    out.object(kind, k);
  }
  std::vector<double> spawnUs;
  for (int i = 0; i < spawns; ++i) {
    const std::uint64_t start = nowNs();
    const pid_t pid = spawn({"/bin/true"});
    if (waitExit(pid) != 0) fail("/bin/true failed");
    spawnUs.push_back(static_cast<double>(nowNs() - start) / 1e3);
  }
  out.summary("spawn_true_us", summarize(spawnUs));
  std::puts(out.text().c_str());
  return 0;
}

// --- latency ---------------------------------------------------------------------------------

struct ReadyLatency {
  double total = 0;  // ready line written → browser seam called, µs
  double hops = 0;   // ready line written → its chunk starts to run on the main thread, µs
};

// One start of the service under the Launcher: from the service's timestamp just before it
// writes the ready line to the browser seam's call. Nothing if the address was not opened once.
std::optional<ReadyLatency> launcherReadyLatency(const ServiceFolder& folder) {
  std::error_code ignored;
  fs::remove(folder.notes(), ignored);
  BenchLauncher bench(folder.resources(), folder.home(), true);
  // Once the address is opened, a quit: the handshake sends SIGTERM and the run ends with the
  // service. Posted, so that it runs after the output handler, as a user's quit would.
  bench.browser.onOpen = [&bench] { bench.loop->post([&bench] { bench.application.terminate(); }); };
  bench.launcher->startServiceWithCreate(false, false);
  const bool ended = bench.loop->runUntil([&bench] { return bench.application.ended; }, std::chrono::seconds(20));
  if (!ended) {
    if (const auto& task = bench.launcher->task(); task && task->isRunning()) ::kill(task->processIdentifier(), SIGKILL);
    std::fprintf(stderr, "launcher run: did not end\n");
    return std::nullopt;
  }
  const auto line = waitForNote(folder.notes(), "line", 5);
  if (!line || bench.browser.opens != 1) {
    std::fprintf(stderr, "launcher run: note %s, opens %llu\n", line ? "present" : "missing",
                 static_cast<unsigned long long>(bench.browser.opens));
    return std::nullopt;
  }
  return ReadyLatency{static_cast<double>(bench.browser.firstOpenNs - *line) / 1e3,
                      static_cast<double>(bench.timedQueue->firstRunNs - *line) / 1e3};
}

// The floor: the same service writes the same line; a reader thread blocked in read() hands
// each chunk to the main thread through a RunLoop, which timestamps the first and does nothing
// else. Two wake-ups, nothing of the launcher's own work.
std::optional<double> twoHopFloor(const std::string& service, const fs::path& folder, const std::string& pre,
                                  const std::string& post) {
  const fs::path notes = folder / ZP_BENCH_TIMES;
  std::error_code ignored;
  fs::remove(notes, ignored);
  auto loop = std::make_shared<platform::RunLoop>();
  int ends[2];
  openPipe(ends);
  const pid_t pid = spawn({service, "ready", pre, post}, {.out = ends[1]}, folder.string());
  ::close(ends[1]);
  std::uint64_t handed = 0;
  std::thread reader([fd = ends[0], loop, pid, &handed] {
    char buffer[16384];
    bool first = true;
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      loop->post([&handed, first, chunk = std::string(buffer, static_cast<std::size_t>(n))] {
        if (first) handed = nowNs();
      });
      if (first) loop->post([pid] { ::kill(pid, SIGTERM); });  // after the timestamp: the run's end
      first = false;
    }
    loop->post([loop] { loop->stop(); });
  });
  loop->run();
  reader.join();
  ::close(ends[0]);
  const int status = waitExit(pid);
  const auto line = waitForNote(notes, "line", 5);
  if (status != 128 + SIGTERM || !line || handed == 0) {
    std::fprintf(stderr, "floor run: status %d, note %s, handed %s\n", status, line ? "present" : "missing",
                 handed ? "yes" : "no");
    return std::nullopt;
  }
  return static_cast<double>(handed - *line) / 1e3;
}

int latency(const Options& o) {
  const std::string service = fs::absolute(o.text("service")).string();
  const auto runs = static_cast<int>(o.number("runs", 1000));
  const std::string pre = std::to_string(o.number("pre-us", 3000));
  const std::string post = std::to_string(o.number("post-us", 2000));
  const int warmup = std::min(10, std::max(2, runs / 10));
  ServiceFolder folder(service, "ready " + pre + " " + post);
  TempDir floorDir("zp-bench-floor");
  std::vector<double> launcher;
  std::vector<double> hops;
  std::vector<double> work;
  std::vector<double> floor;
  int failures = 0;
  // Interleaved, alternating which goes first, so that drift on the machine hits both alike.
  for (int i = 0; i < warmup + runs; ++i) {
    std::optional<ReadyLatency> a;
    std::optional<double> b;
    if (i % 2 == 0) {
      a = launcherReadyLatency(folder);
      b = twoHopFloor(service, floorDir.path(), pre, post);
    } else {
      b = twoHopFloor(service, floorDir.path(), pre, post);
      a = launcherReadyLatency(folder);
    }
    if (!a || !b) {
      ++failures;
      continue;
    }
    if (i < warmup) continue;
    launcher.push_back(a->total);
    hops.push_back(a->hops);
    work.push_back(a->total - a->hops);
    floor.push_back(*b);
  }
  Json out;
  out.summary("launcher_us", summarize(launcher)).summary("floor_us", summarize(floor));
  out.summary("launcher_hops_us", summarize(hops)).summary("launcher_main_thread_us", summarize(work));
  out.integer("failures", failures);
  std::puts(out.text().c_str());
  return failures == 0 ? 0 : 1;
}

// --- flood -----------------------------------------------------------------------------------

int flood(const Options& o) {
  const std::string service = fs::absolute(o.text("service")).string();
  const std::string kind = o.text("kind");
  const unsigned long long bytes = o.number("bytes", 1ULL << 30);
  ServiceFolder folder(service, "flood " + kind + " " + std::to_string(bytes));
  BenchLauncher bench(folder.resources(), folder.home());

  const bool peakReset = resetPeakRss();
  const long before = selfKiB("VmRSS");
  const long peakBefore = selfKiB("VmHWM");
  rusage usageBefore{};
  ::getrusage(RUSAGE_SELF, &usageBefore);
  const std::uint64_t start = nowNs();
  bench.runService();
  const std::uint64_t end = nowNs();
  rusage usageAfter{};
  ::getrusage(RUSAGE_SELF, &usageAfter);
  const long peak = selfKiB("VmHWM");
  const long after = selfKiB("VmRSS");

  const double seconds = static_cast<double>(end - start) / 1e9;
  const auto moved = static_cast<double>(wholeLines(bytes, lineOf(kind)));
  Json out;
  out.str("kind", kind).integer("bytes", static_cast<long long>(moved)).num("seconds", seconds);
  out.num("bytes_per_second", moved / seconds);
  out.integer("rss_before_kib", before).integer("peak_kib", peak).integer("rss_after_kib", after);
  out.integer("peak_before_kib", peakBefore).boolean("peak_reset", peakReset);
  out.integer("peak_delta_kib", peak - before);
  const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  out.num("user_seconds", cpu(usageAfter.ru_utime) - cpu(usageBefore.ru_utime));
  out.num("system_seconds", cpu(usageAfter.ru_stime) - cpu(usageBefore.ru_stime));
  out.integer("context_switches", (usageAfter.ru_nvcsw + usageAfter.ru_nivcsw) - (usageBefore.ru_nvcsw + usageBefore.ru_nivcsw));
  out.boolean("refused", bench.launcher->outputRejected());
  out.integer("exit_status", bench.launcher->exitStatus());
  out.boolean("ended", bench.application.ended);
  std::puts(out.text().c_str());
  return bench.application.ended ? 0 : 1;
}

// --- e2e -------------------------------------------------------------------------------------

struct ThreadSample {
  std::string name;
  std::uint64_t runNs = 0;  // schedstat: time on the CPU
  std::uint64_t ticks = 0;  // stat: utime + stime
  std::uint64_t voluntary = 0;
  std::uint64_t involuntary = 0;
};

std::map<long, ThreadSample> sampleThreads(pid_t pid) {
  std::map<long, ThreadSample> out;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(tasks, error)) {
    const long tid = std::strtol(entry.path().filename().c_str(), nullptr, 10);
    ThreadSample s;
    s.name = readText(entry.path() / "comm");
    while (!s.name.empty() && s.name.back() == '\n') s.name.pop_back();
    s.runNs = std::strtoull(readText(entry.path() / "schedstat").c_str(), nullptr, 10);
    const std::string stat = readText(entry.path() / "stat");
    // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos) {
      std::istringstream fields(stat.substr(close + 2));
      std::vector<std::string> f;
      for (std::string w; fields >> w;) f.push_back(w);
      if (f.size() > 12) s.ticks = std::strtoull(f[11].c_str(), nullptr, 10) + std::strtoull(f[12].c_str(), nullptr, 10);
    }
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.voluntary = std::strtoull(line.c_str() + 24, nullptr, 10);
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) s.involuntary = std::strtoull(line.c_str() + 27, nullptr, 10);
    }
    out[tid] = s;
  }
  return out;
}

// What every thread of the process did between two samples; threads that started meanwhile
// count in full.
Json idleDelta(pid_t pid, const std::map<long, ThreadSample>& before, const std::map<long, ThreadSample>& after,
               double seconds) {
  std::uint64_t runNs = 0;
  std::uint64_t ticks = 0;
  std::uint64_t voluntary = 0;
  std::uint64_t involuntary = 0;
  std::string busy;
  for (const auto& [tid, now] : after) {
    const auto it = before.find(tid);
    const ThreadSample then = it == before.end() ? ThreadSample{} : it->second;
    const std::uint64_t r = now.runNs - then.runNs;
    const std::uint64_t v = now.voluntary - then.voluntary;
    const std::uint64_t n = now.involuntary - then.involuntary;
    runNs += r;
    ticks += now.ticks - then.ticks;
    voluntary += v;
    involuntary += n;
    if (v + n > 0 || r > 0) {
      const std::string who = tid == pid ? "main thread" : "thread " + std::to_string(tid);
      busy += (busy.empty() ? "" : ", ") + who + " (" + now.name + "), context switches: " + std::to_string(v + n);
    }
  }
  std::string names;
  for (const auto& [tid, s] : after) names += (names.empty() ? "" : ", ") + s.name;
  Json out;
  out.num("seconds", seconds).num("cpu_ms", static_cast<double>(runNs) / 1e6);
  out.num("cpu_ticks_ms", static_cast<double>(ticks) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)));
  out.integer("voluntary_switches", static_cast<long long>(voluntary));
  out.integer("involuntary_switches", static_cast<long long>(involuntary));
  out.integer("context_switches", static_cast<long long>(voluntary + involuntary));
  out.integer("threads", static_cast<long long>(after.size()));
  out.integer("threads_ended", static_cast<long long>(std::count_if(before.begin(), before.end(), [&after](const auto& b) {
                return after.find(b.first) == after.end();
              })));
  out.str("thread_names", names).str("threads_that_ran", busy);
  return out;
}

Json memoryOf(pid_t pid) {
  Json out;
  for (const char* field : {"VmRSS", "RssAnon", "RssFile", "RssShmem", "VmHWM"}) {
    out.integer(std::string(field) + "_kib", processKiB(pid, field));
  }
  return out;
}

struct E2EBundle {
  E2EBundle(const std::string& app, const std::string& service, const std::string& describeOnly) {
    fs::copy(app, bundle(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    std::error_code ignored;
    fs::remove(runtime(), ignored);
    fs::copy_file(service, runtime());
    writeText(resources() / ZP_BENCH_CONF, "idle\n");
    fs::copy_file(describeOnly, bundle() / "Contents" / "MacOS" / "zp-describe-only");
    fs::create_directories(home() / "Library" / "Application Support" / "ZorvikPellwyn-InstallerPreview");
    fs::create_directories(runDir());
    fs::permissions(runDir(), fs::perms::owner_all);
    writeText(dir.path() / "bin" / "xdg-open",
              "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + (dir.path() / "opened").string() + "'\n", true);
  }
  fs::path bundle() const { return dir.path() / "Zorvik Bench.app"; }
  fs::path executable() const { return bundle() / "Contents" / "MacOS" / "ZorvikPellwyn"; }
  fs::path describeOnly() const { return bundle() / "Contents" / "MacOS" / "zp-describe-only"; }
  fs::path resources() const { return bundle() / "Contents" / "Resources"; }
  fs::path runtime() const { return resources() / "python" / "bin" / "python3"; }
  fs::path notes() const { return resources() / ZP_BENCH_TIMES; }
  fs::path bareNotes() const { return dir.path() / "bare-times"; }
  fs::path home() const { return dir.path() / "home"; }
  fs::path runDir() const { return dir.path() / "run"; }
  std::vector<std::string> environment() const {
    return {"HOME=" + home().string(), "PATH=" + (dir.path() / "bin").string() + ":/usr/bin:/bin",
            "XDG_RUNTIME_DIR=" + runDir().string(), "QT_QPA_PLATFORM=offscreen"};
  }
  TempDir dir{"zp-bench-e2e"};
};

// Exec of the launcher to the first instruction of its service, in ms.
std::optional<double> launcherStartup(const E2EBundle& b) {
  std::error_code ignored;
  fs::remove(b.notes(), ignored);
  const std::uint64_t start = nowNs();
  const pid_t pid = spawn({b.executable().string()}, {}, std::nullopt, b.environment());
  const auto first = waitForNote(b.notes(), "first", 30);
  const int status = stop(pid, 20);
  if (!first || status != 0) return std::nullopt;
  return static_cast<double>(*first - start) / 1e6;
}

// Exec of the bare Qt program to its window being shown, in ms.
std::optional<double> bareStartup(const E2EBundle& b, const std::string& bare) {
  std::error_code ignored;
  fs::remove(b.bareNotes(), ignored);
  const std::uint64_t start = nowNs();
  const pid_t pid = spawn({bare, b.bareNotes().string()}, {}, std::nullopt, b.environment());
  const auto status = waitExitFor(pid, 30);
  const auto shown = waitForNote(b.bareNotes(), "shown", 1);
  if (!status || *status != 0 || !shown) return std::nullopt;
  return static_cast<double>(*shown - start) / 1e6;
}

// Start to exit of a command whose output goes to /dev/null, in ms.
std::optional<double> startToExit(const std::vector<std::string>& argv, const E2EBundle& b) {
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const std::uint64_t start = nowNs();
  const pid_t pid = spawn(argv, {.out = devnull}, std::nullopt, b.environment());
  const int status = waitExit(pid);
  const std::uint64_t end = nowNs();
  ::close(devnull);
  if (status != 0) return std::nullopt;
  return static_cast<double>(end - start) / 1e6;
}

std::string outputOf(const std::vector<std::string>& argv, const E2EBundle& b) {
  int ends[2];
  openPipe(ends);
  const pid_t pid = spawn(argv, {.out = ends[1]}, std::nullopt, b.environment());
  ::close(ends[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(ends[0]);
  waitExit(pid);
  return out;
}

int e2e(const Options& o) {
  const std::string bare = o.text("bare");
  const std::string printLine = o.text("print-line");
  const auto startupRuns = static_cast<int>(o.number("startup-runs", 20));
  const auto cliRuns = static_cast<int>(o.number("cli-runs", 200));
  const double idleSeconds = o.real("idle-seconds", 60);
  const double settleSeconds = o.real("settle-seconds", 1);
  E2EBundle b(o.text("app"), o.text("service"), o.text("describe-only"));
  Json out;

  // Start-up; one discarded warm-up of each (font caches, page cache), then interleaved.
  std::vector<double> launcher;
  std::vector<double> reference;
  int failures = 0;
  for (int i = -1; i < startupRuns; ++i) {
    const auto a = launcherStartup(b);
    const auto r = bareStartup(b, bare);
    if (!a || !r) {
      ++failures;
      continue;
    }
    if (i < 0) continue;
    launcher.push_back(*a);
    reference.push_back(*r);
  }
  out.summary("startup_launcher_ms", summarize(launcher)).summary("startup_bare_qt_ms", summarize(reference));

  // The command-line mode beside a program that prints one line, and beside the same
  // command-line code linked without Qt.
  const std::string describe = outputOf({b.executable().string(), "--describe-launch"}, b);
  const std::string describeQtFree = outputOf({b.describeOnly().string(), "--describe-launch"}, b);
  out.boolean("describe_outputs_equal", describe == describeQtFree && !describe.empty());
  std::vector<double> cli;
  std::vector<double> cliQtFree;
  std::vector<double> oneLine;
  for (int i = -3; i < cliRuns; ++i) {
    const auto a = startToExit({b.executable().string(), "--describe-launch"}, b);
    const auto q = startToExit({b.describeOnly().string(), "--describe-launch"}, b);
    const auto r = startToExit({printLine}, b);
    if (!a || !q || !r) {
      ++failures;
      continue;
    }
    if (i < 0) continue;
    cli.push_back(*a);
    cliQtFree.push_back(*q);
    oneLine.push_back(*r);
  }
  out.summary("describe_launcher_ms", summarize(cli)).summary("describe_qt_free_ms", summarize(cliQtFree));
  out.summary("print_line_ms", summarize(oneLine));

  // Idle after ready, side by side with the bare Qt program idling with its window shown.
  std::error_code ignored;
  fs::remove(b.notes(), ignored);
  fs::remove(b.bareNotes(), ignored);
  const pid_t app = spawn({b.executable().string()}, {}, std::nullopt, b.environment());
  const pid_t idleBare = spawn({bare, b.bareNotes().string(), "--stay"}, {}, std::nullopt, b.environment());
  const bool up = waitForNote(b.notes(), "first", 30) && waitForNote(b.bareNotes(), "shown", 30);
  if (!up) ++failures;
  sleepMs(settleSeconds * 1000);
  const auto appBefore = sampleThreads(app);
  const auto bareBefore = sampleThreads(idleBare);
  const std::uint64_t idleStart = nowNs();
  sleepMs(idleSeconds * 1000);
  const auto appAfter = sampleThreads(app);
  const auto bareAfter = sampleThreads(idleBare);
  const double measured = static_cast<double>(nowNs() - idleStart) / 1e9;
  out.object("idle_launcher", idleDelta(app, appBefore, appAfter, measured));
  out.object("idle_bare_qt", idleDelta(idleBare, bareBefore, bareAfter, measured));
  out.object("memory_launcher", memoryOf(app)).object("memory_bare_qt", memoryOf(idleBare));
  const int appStatus = stop(app, 20);
  stop(idleBare, 5);
  out.integer("idle_launcher_exit", appStatus);
  out.integer("failures", failures);
  std::puts(out.text().c_str());
  return failures == 0 && appStatus == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zp::bench

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  try {
    if (argc < 2) zp::bench::fail("usage: zp_bench_live limits|latency|flood|e2e --option value ...");
    const std::string_view command = argv[1];
    const zp::bench::Options options(argc - 2, argv + 2);
    if (command == "limits") return zp::bench::limits(options);
    if (command == "latency") return zp::bench::latency(options);
    if (command == "flood") return zp::bench::flood(options);
    if (command == "e2e") return zp::bench::e2e(options);
    zp::bench::fail("unknown command " + std::string(command));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zp-bench: %s\n", error.what());
    return 1;
  }
}
