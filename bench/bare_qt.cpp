// The reference for start-up and for idle: a bare Qt Widgets program that shows one window of
// the launcher's size and title from its first event-loop turn, as the launcher does, and
// notes the time right after show(). Then it ends, or with --stay waits until it is killed.
//   zp_bench_bare_qt NOTES_FILE [--stay]
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
  const char* notes = argc > 1 ? argv[1] : nullptr;
  const bool stay = argc > 2 && std::string_view(argv[2]) == "--stay";

  // Only a program name, as the launcher gives its QApplication.
  int qtArgc = 1;
  std::string programName = "zp_bench_bare_qt";
  std::array<char*, 2> qtArgv{programName.data(), nullptr};
  QApplication app(qtArgc, qtArgv.data());
  QGuiApplication::setQuitOnLastWindowClosed(false);

  std::unique_ptr<QWidget> window;
  QTimer::singleShot(0, &app, [&window, notes, stay] {
    window = std::make_unique<QWidget>();
    window->setWindowTitle(QString::fromUtf8("ZorvikPellwyn · macOS 本地安装预览"));
    window->resize(550, 235);
    window->show();
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (notes != nullptr) {
      char text[64];
      const int n = std::snprintf(text, sizeof text, "shown %llu\n",
                                  static_cast<unsigned long long>(t.tv_sec) * 1000000000ULL +
                                      static_cast<unsigned long long>(t.tv_nsec));
      const int fd = open(notes, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) {
        if (write(fd, text, static_cast<std::size_t>(n)) != n) std::fputs("bare_qt: short write\n", stderr);
        close(fd);
      }
    }
    if (!stay) QCoreApplication::exit(0);
  });
  return QApplication::exec();
}
