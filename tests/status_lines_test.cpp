// consumeOutput driven directly, one row per case, while a real process plays the running task.
#include <gtest/gtest.h>

#include "supervisor/texts.hpp"
#include "support/launcher_harness.hpp"

namespace zp {
namespace {

using test::LauncherHarness;

const std::string kUrl = "http://127.0.0.1:8765/";
const std::string kOtherUrl = "http://127.0.0.1:9000";
const std::string kReady = R"({"status":"ready","url":"http://127.0.0.1:8765/"})";
const std::string kReadyOther = R"({"status":"ready","url":"http://127.0.0.1:9000"})";
const std::string kBusy = R"({"status":"busy"})";
const std::string kStartedPreview(texts::kStartedTextPreview);
const std::string kStartedConnected(texts::kStartedTextConnected);
const std::string kBusyText(texts::kBusyText);
const std::string kRejectedText(texts::kRejectedOutputText);

// `line` padded with spaces (white space after the object) to `size` bytes.
std::string padded(const std::string& line, std::size_t size) { return line + std::string(size - line.size(), ' '); }

struct Row {
  const char* what;
  std::vector<std::string> chunks;
  std::string mode = "preview";
  bool quittingBefore = false;
  std::optional<std::string> urlBefore = std::nullopt;
  std::optional<std::string> codeBefore = std::nullopt;
  // Expected afterwards:
  std::optional<std::string> url = std::nullopt;
  std::optional<std::string> code = std::nullopt;
  std::vector<std::string> labels = {};  // every text the label was given, in order
  std::vector<std::string> opened = {};
  bool quitting = false;
  bool rejected = false;
  std::size_t pending = 0;
};

void check(const Row& row) {
  LauncherHarness h(row.mode);
  h.useRunningTask();
  h.launcher->setQuitting(row.quittingBefore);
  h.launcher->setUrl(row.urlBefore);
  h.launcher->setErrorCode(row.codeBefore);
  h.launcher->setPending(std::make_unique<PendingOutput>());
  for (const std::string& chunk : row.chunks) h.launcher->consumeOutput(chunk);
  EXPECT_EQ(h.launcher->url(), row.url) << row.what;
  EXPECT_EQ(h.launcher->errorCode(), row.code) << row.what;
  EXPECT_EQ(h.status->texts, row.labels) << row.what;
  EXPECT_EQ(h.browser.opened, row.opened) << row.what;
  EXPECT_EQ(h.launcher->quitting(), row.quitting) << row.what;
  EXPECT_EQ(h.launcher->outputRejected(), row.rejected) << row.what;
  EXPECT_EQ(h.launcher->pending()->size(), row.pending) << row.what;
  EXPECT_TRUE(h.alerts.shown.empty()) << row.what;
  EXPECT_TRUE(h.application.replies.empty()) << row.what;
}

TEST(StatusLines, Framing) {
  const Row rows[] = {
      {.what = "ready, preview", .chunks = {kReady + "\n"}, .url = kUrl, .labels = {kStartedPreview}, .opened = {kUrl}},
      {.what = "ready, connected",
       .chunks = {kReady + "\n"},
       .mode = "connected",
       .url = kUrl,
       .labels = {kStartedConnected},
       .opened = {kUrl}},
      {.what = "ready then busy in one chunk",
       .chunks = {kReady + "\n" + kBusy + "\n"},
       .url = kUrl,
       .labels = {kStartedPreview, kBusyText},
       .opened = {kUrl}},
      {.what = "a line split across chunks waits for its line feed",
       .chunks = {kReady.substr(0, 10), kReady.substr(10)},
       .pending = kReady.size()},
      {.what = "a line split across chunks, completed",
       .chunks = {kReady.substr(0, 10), kReady.substr(10) + "\n"},
       .url = kUrl,
       .labels = {kStartedPreview},
       .opened = {kUrl}},
      {.what = "a lone line feed completes the pending line",
       .chunks = {kReady, "\n"},
       .url = kUrl,
       .labels = {kStartedPreview},
       .opened = {kUrl}},
      {.what = "the part after the last line feed stays pending",
       .chunks = {kBusy + "\n{\"sta"},
       .labels = {kBusyText},
       .pending = 5},
      {.what = "empty lines", .chunks = {"\n\n", "\n"}},
      {.what = "CR LF", .chunks = {kReady + "\r\n"}, .url = kUrl, .labels = {kStartedPreview}, .opened = {kUrl}},
      {.what = "a pretty-printed object is never recognised",
       .chunks = {"{\n  \"status\": \"ready\",\n  \"url\": \"http://127.0.0.1:8765/\"\n}\n"}},
      {.what = "non-objects are skipped and later lines still read",
       .chunks = {"[\"status\",\"busy\"]\n\"busy\"\n8765\ntrue\nnull\n" + kBusy + "\n"},
       .labels = {kBusyText}},
      {.what = "invalid UTF-8 inside the line", .chunks = {"{\"status\":\"busy\",\"x\":\"\xff\"}\n"}},
      {.what = "a NUL byte inside the line", .chunks = {std::string("{\"status\":\"busy\"}\0\n", 19)}},
      {.what = "trailing text after the object", .chunks = {kBusy + " x\n"}},
      {.what = "two objects on one line", .chunks = {kBusy + kBusy + "\n"}},
      {.what = "a byte-order mark before the object", .chunks = {"\xef\xbb\xbf" + kBusy + "\n"}},
      {.what = "an escaped status value still counts",
       .chunks = {R"({"status":"re\u0061dy","url":"http:\/\/127.0.0.1:8765\/"})" "\n"},
       .url = kUrl,
       .labels = {kStartedPreview},
       .opened = {kUrl}},
      {.what = "the first of duplicate members wins", .chunks = {R"({"status":"busy","status":"ready"})" "\n"},
       .labels = {kBusyText}},
      {.what = "other members are ignored",
       .chunks = {R"({"pid":1,"status":"ready","extra":{"a":[1,2]},"url":"http://127.0.0.1:8765/"})" "\n"},
       .url = kUrl,
       .labels = {kStartedPreview},
       .opened = {kUrl}},
  };
  for (const Row& row : rows) check(row);
}

TEST(StatusLines, Kinds) {
  const Row rows[] = {
      {.what = "busy without a quit request", .chunks = {kBusy + "\n"}, .labels = {kBusyText}},
      {.what = "busy clears quitting", .chunks = {kBusy + "\n"}, .quittingBefore = true, .labels = {kBusyText}},
      {.what = "not_started sets the code and nothing else",
       .chunks = {R"({"status":"not_started","code":"x"})" "\n"},
       .code = "x"},
      {.what = "not_started with the empty code",
       .chunks = {R"({"status":"not_started","code":""})" "\n"},
       .codeBefore = "earlier",
       .code = ""},
      {.what = "a later code replaces an earlier one",
       .chunks = {R"({"status":"not_started","code":"a"})" "\n" R"({"status":"not_started","code":"b"})" "\n"},
       .code = "b"},
      {.what = "not_started with a number, null or no code",
       .chunks = {R"({"status":"not_started","code":5})" "\n" R"({"status":"not_started","code":null})" "\n"
                  R"({"status":"not_started"})" "\n"},
       .codeBefore = "earlier",
       .code = "earlier"},
      {.what = "ready does not clear the code",
       .chunks = {kReady + "\n"},
       .codeBefore = "earlier",
       .url = kUrl,
       .code = "earlier",
       .labels = {kStartedPreview},
       .opened = {kUrl}},
      {.what = "a rejected address leaves everything as it was",
       .chunks = {R"({"status":"ready","url":"http://localhost:8765/"})" "\n"},
       .urlBefore = kOtherUrl,
       .url = kOtherUrl},
      {.what = "ready without a url, or with a non-string url",
       .chunks = {R"({"status":"ready"})" "\n" R"({"status":"ready","url":8765})" "\n"
                  R"({"status":"ready","url":null})" "\n"}},
      {.what = "a second ready replaces the address and opens it again",
       .chunks = {kReady + "\n", kReadyOther + "\n"},
       .url = kOtherUrl,
       .labels = {kStartedPreview, kStartedPreview},
       .opened = {kUrl, kOtherUrl}},
      {.what = "status values and member names are case-sensitive",
       .chunks = {R"({"status":"Ready","url":"http://127.0.0.1:8765/"})" "\n" R"({"Status":"busy"})" "\n"
                  R"({"status":"BUSY"})" "\n"}},
      // Lines are skipped unparsed only when they cannot hold a status; short and long lines
      // are looked at differently, so each case comes in both lengths.
      {.what = "busy among other members, short and long",
       .chunks = {R"({"n":1,"status" : "busy"})" "\n",
                  R"({"note":")" + std::string(80, 'x') + R"(","status":"busy"})" "\n"},
       .labels = {kBusyText, kBusyText}},
      {.what = "an escaped member name or value, short and long",
       .chunks = {R"({"st\u0061tus":"busy"})" "\n", R"({"status":"b\u0075sy"})" "\n",
                  padded(R"({"st\u0061tus":"busy"})", 100) + "\n"},
       .labels = {kBusyText, kBusyText, kBusyText}},
      {.what = "the words without their quotes, or apart from a status member",
       .chunks = {R"({"status":"busyness","busy":"status"})" "\n", R"({"state":"busy"})" "\n",
                  padded(R"({"status":"idle","mode":"ready"})", 100) + "\n"}},
      {.what = "status of another type, or another value",
       .chunks = {R"({"status":1})" "\n" R"({"status":null})" "\n" R"({"status":["busy"]})" "\n"
                  R"({"status":"starting"})" "\n"}},
  };
  for (const Row& row : rows) check(row);
}

TEST(StatusLines, SizeLimit) {
  const std::string many = [] {
    std::string lines;
    while (lines.size() < 40000) lines += "{\"status\":\"progress\",\"n\":123}\n";
    return lines;
  }();
  const Row rows[] = {
      {.what = "a chunk of exactly 65536 bytes is read",
       .chunks = {padded(kBusy, 65535) + "\n"},
       .labels = {kBusyText}},
      {.what = "a chunk of 65537 bytes is refused",
       .chunks = {padded(kBusy, 65536) + "\n"},
       .urlBefore = kUrl,
       .code = std::string(kInvalidOutputCode),
       .labels = {kRejectedText},
       .rejected = true},
      {.what = "65535 pending plus a line feed is read",
       .chunks = {padded(kBusy, 65535), "\n"},
       .labels = {kBusyText}},
      {.what = "65536 pending plus any byte is refused",
       .chunks = {padded(kBusy, 65536), "\n"},
       .code = std::string(kInvalidOutputCode),
       .labels = {kRejectedText},
       .rejected = true},
      {.what = "a chunk over the limit is refused even when all its lines are short",
       .chunks = {many + many},
       .code = std::string(kInvalidOutputCode),
       .labels = {kRejectedText},
       .rejected = true},
      {.what = "lines handled in earlier calls do not count", .chunks = {many, many, many, many}},
      {.what = "after a refusal nothing has an effect",
       .chunks = {padded(kBusy, 65537), kReady + "\n" + kBusy + "\n" + R"({"status":"not_started","code":"x"})" "\n"},
       .quittingBefore = true,
       .code = std::string(kInvalidOutputCode),
       .labels = {kRejectedText},
       .quitting = true,
       .rejected = true},
  };
  for (const Row& row : rows) check(row);
}

TEST(StatusLines, NothingOpensOnceTheServiceHasEnded) {
  LauncherHarness h;
  h.launcher->setPending(std::make_unique<PendingOutput>());
  h.launcher->consumeOutput(kReady + "\n");  // no task at all
  EXPECT_EQ(h.launcher->url(), kUrl);
  EXPECT_TRUE(h.browser.opened.empty());
}

}  // namespace
}  // namespace zp
