// The density on a real X display: Xvfb started with -dpi, with or without Xft.dpi among
// its resources, and a program started on it as the user starts the window (the density
// taken before Qt starts, then Qt's own screen). Each probe runs in a process of its own,
// since Qt reads its density once per process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "ServerDensity.h"

namespace {

const char* gSelf = nullptr;

// An Xvfb of its own, on the display number it picks; stopped with the object.
class Xvfb {
 public:
  explicit Xvfb(int dpi) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]), density = std::to_string(dpi);
      execlp(XVFB_EXECUTABLE, XVFB_EXECUTABLE, "-displayfd", fd.c_str(), "-screen", "0",
             "1280x800x24", "-dpi", density.c_str(), "-nolisten", "tcp",
             // Resources set by one client stay when it leaves, as under a desktop.
             "-noreset", nullptr);
      _exit(127);
    }
    close(fds[1]);
    // Xvfb writes its display number once it accepts connections.
    char buffer[32] = {};
    ssize_t got = 0, n = 0;
    while ((n = read(fds[0], buffer + got, sizeof buffer - 1 - got)) > 0) {
      got += n;
      if (std::memchr(buffer, '\n', static_cast<size_t>(got)) != nullptr) break;
    }
    close(fds[0]);
    if (got > 0) display_ = ":" + std::to_string(std::atoi(buffer));
  }
  ~Xvfb() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Display() const { return display_; }

  // Sets the X resources as a desktop does (xrdb): the root window's RESOURCE_MANAGER.
  bool SetResources(const std::string& text) const {
    xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
    bool done = false;
    if (xcb_connection_has_error(c) == 0) {
      const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, screen->root, XCB_ATOM_RESOURCE_MANAGER,
                          XCB_ATOM_STRING, 8, static_cast<uint32_t>(text.size()), text.data());
      done = xcb_flush(c) > 0;
      free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // a round trip
    }
    xcb_disconnect(c);
    return done;
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Runs this program as a probe (`mode`) on `display` with the extra environment, and gives
// the number it printed (-1 when the probe failed).
long Probe(const std::string& display, const std::vector<std::string>& env = {},
           const char* mode = "--probe") {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    for (const char* name : {"QT_FONT_DPI", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS"})
      unsetenv(name);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    execl(gSelf, gSelf, mode, nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buffer[64];
  ssize_t n = 0;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) return -1;
  return std::atol(out.c_str());
}

TEST(ServerDensity, TheWindowFollowsTheServerWhenTheDesktopSetsNoXftDpi) {
  struct Case {
    int serverDpi;
    const char* resources;  // null: none set
    std::vector<std::string> env;
    int expected;
  };
  const Case cases[] = {
      {192, nullptr, {}, 192},  // -dpi alone
      {144, nullptr, {}, 144},
      {96, nullptr, {}, 96},
      {100, nullptr, {}, 96},                                // Xvfb's own default
      {192, "Xft.dpi:\t144\nXft.antialias:\t1\n", {}, 144},  // the desktop's choice
      {192, "Xft.antialias: 1\n", {}, 192},                  // resources, no Xft.dpi
      {192, nullptr, {"QT_FONT_DPI=120"}, 120},              // the user's choice
      {144, nullptr, {"QT_QPA_PLATFORM=offscreen"}, 96},     // not on the display
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.serverDpi) + (c.resources ? " with resources" : "") +
                 (c.env.empty() ? "" : " " + c.env.front()));
    const Xvfb server(c.serverDpi);
    ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
    if (c.resources != nullptr) {
      ASSERT_TRUE(server.SetResources(c.resources));
    }
    EXPECT_EQ(Probe(server.Display(), c.env), c.expected);
  }
}

TEST(ServerDensity, TheAboutLabelsAreBoldOnADenseXDisplay) {
  // Twice the pixels of a 96-dpi screen: Qt draws through a scale of 2, where it does not
  // embolden a face without a bold of its own. The probe weighs the labels' ink.
  const Xvfb server(192);
  ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
  const long percent = Probe(server.Display(), {}, "--about-bold");
  // Drawn through the scale, the bold labels took a third more ink than regular ones (their
  // strokes hardly heavier); drawn at the screen's resolution, two thirds more.
  EXPECT_GE(percent, 150) << "bold ink as a percentage of regular ink";
}

TEST(ServerDensity, ResourcesAndScreenSizesReadAsTheDesktopMeansThem) {
  EXPECT_TRUE(ResourcesSetXftDpi("Xft.dpi:\t192\n"));
  EXPECT_TRUE(ResourcesSetXftDpi("Xcursor.size: 24\n  Xft.dpi :144"));
  EXPECT_FALSE(ResourcesSetXftDpi(""));
  EXPECT_FALSE(ResourcesSetXftDpi("Xft.dpix: 144\n*dpi: 144\nXft.antialias: 1\n"));
  // 1280 pixels over 325 mm is Xvfb's default of 100 dpi: the 96 step.
  EXPECT_EQ(ServerDensity(1280, 325), 96);
  EXPECT_EQ(ServerDensity(1280, 169), 192);
  EXPECT_EQ(ServerDensity(1280, 226), 144);
  EXPECT_EQ(ServerDensity(1366, 309), 120);  // 112 dpi, a small laptop panel
  EXPECT_EQ(ServerDensity(1280, 452), 96);   // 72 dpi: never smaller than laid out
  EXPECT_EQ(ServerDensity(1280, 0), 96);
}

}  // namespace

// The about page's light ink over its dark picture, as the screen shows it.
long AboutInk(TMainForm& form) {
  const QImage page = form.TabSheet3->grab().toImage();
  long ink = 0;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x) ink += std::max(0, qGray(page.pixel(x, y)) - 150);
  return ink;
}

// The window as the program starts it, on the display: the about labels' ink in bold as a
// percentage of their ink in regular weight.
int AboutBoldProbe(int argc, char** argv) {
  char folder[] = "/tmp/rekasto-density-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 2;
  const std::string config = std::string(folder) + "/engine.ini";
  if (FILE* f = std::fopen(config.c_str(), "w")) {
    std::fputs("[X]\nTYPE=STANDARD\nPATH=.\n", f);
    std::fclose(f);
  }
  setenv("REKASTO_ENGINE_CONFIG", config.c_str(), 1);
  FollowServerDensity();
  long percent = -1;
  {
    TApplication app(argc, argv);
    ScriptedDialogs dialogs;
    Dialogs::Install(&dialogs);
    std::unique_ptr<TMainForm> form = CreateMainForm();
    form->PageControl1->setCurrentIndex(2);
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get())) return 3;
    const long bold = AboutInk(*form);
    for (QLabel* about : {form->Label11, form->Label12}) {
      QFont font = about->font();
      font.setBold(false);
      about->setFont(font);
    }
    const long regular = AboutInk(*form);
    if (regular > 0) percent = bold * 100 / regular;
    form.reset();
    Dialogs::Install(nullptr);
  }
  EngineShutdown();
  std::remove(config.c_str());
  rmdir(folder);
  std::printf("%ld\n", percent);
  return 0;
}

int main(int argc, char** argv) {
  gSelf = argv[0];
  if (argc == 2 && std::strcmp(argv[1], "--about-bold") == 0) return AboutBoldProbe(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "--probe") == 0) {
    // As the program starts: the density first, then Qt.
    FollowServerDensity();
    QGuiApplication app(argc, argv);
    std::printf("%ld\n", std::lround(ScreenDensity()));
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
