// Nothing of the environment leaks into the data: under a locale whose decimal point is
// a comma (pl_PL.UTF-8, as a Polish desktop sets it for the whole program), every value
// text is the one the C locale gives and reads back to the same value.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "paradox/format/value.h"

namespace paradox {
namespace {

// True when the shell command ran and exited 0 (localedef exits 1 for a warning).
bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Sets a locale with a decimal comma for this process and puts the previous one back at
// the end. pl_PL.UTF-8 as installed; else generated into a folder of the test's own
// (from the system's locale sources); else, for LC_NUMERIC only, the comma locale
// built from the test data. Empty name: none could be had (`why` says so).
class CommaLocale {
 public:
  CommaLocale() {
    saved_ = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "pl_PL.UTF-8")) {
      name_ = "pl_PL.UTF-8 (installed)";
      return;
    }
    dir_ = ::testing::TempDir() + "comma_locale_XXXXXX";
    if (!mkdtemp(dir_.data())) {
      why_ = "cannot make a folder for a generated locale";
      dir_.clear();
      return;
    }
    setenv("LOCPATH", dir_.c_str(), 1);
    if (Run("localedef -i pl_PL -f UTF-8 " + dir_ + "/pl_PL.UTF-8") &&
        std::setlocale(LC_ALL, "pl_PL.UTF-8")) {
      name_ = "pl_PL.UTF-8 (generated with localedef)";
      return;
    }
    const std::string data = REKASTO_LOCALE_DATA_DIR;
    // -c: the locale has no other category; localedef warns of that and writes it.
    (void)Run("localedef -c -i " + data + "/comma_numeric -f " + data + "/ascii_charmap " + dir_ +
              "/comma_numeric");
    if (std::setlocale(LC_NUMERIC, "comma_numeric")) {
      name_ = "comma_numeric (LC_NUMERIC from the test data)";
      return;
    }
    why_ = "neither pl_PL.UTF-8 nor a locale built with localedef from " + data +
           " could be set (is localedef, from the Debian package libc-bin, there?)";
  }
  ~CommaLocale() {
    std::setlocale(LC_ALL, saved_.c_str());
    unsetenv("LOCPATH");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  const std::string& name() const { return name_; }
  const std::string& why() const { return why_; }

 private:
  std::string saved_, name_, why_, dir_;
};

TEST(CommaLocale, ValueTextsAreTheCLocalesAndReadBack) {
  CommaLocale locale;
  if (locale.name().empty()) GTEST_SKIP() << locale.why();
  ASSERT_STREQ(std::localeconv()->decimal_point, ",") << locale.name();
  SCOPED_TRACE(locale.name());

  // A timestamp with a fraction of a millisecond: written with the fewest digits that
  // read back, and read back with its fraction.
  EXPECT_EQ(FormatTimestamp(Timestamp{63716202001000.5}), "2020-02-01 01:00:01.0005");
  Timestamp t{};
  ASSERT_TRUE(ParseTimestamp("2020-02-01 01:00:01.0005", &t));
  EXPECT_EQ(t.ms, 63716202001000.5);
  // Beyond the calendar the stored number is written.
  EXPECT_EQ(FormatTimestamp(Timestamp{2.5e17}), "2.5e+17 ms");

  std::mt19937_64 rng(20);
  for (int i = 0; i < 5000; ++i) {
    const double day = double(int64_t(rng() % 7304119) - 3652059);
    const double s =
        day * 86400000.0 + double(rng() % 86400000) + double(rng() % 1000000) / 1000000.0;
    const std::string text = FormatTimestamp(Timestamp{s});
    Timestamp back{};
    ASSERT_TRUE(ParseTimestamp(text, &back)) << text;
    ASSERT_EQ(back.ms, s) << text;
    const int32_t d = int32_t(day);
    Date date{};
    ASSERT_TRUE(ParseDate(FormatDate(Date{d}), &date));
    ASSERT_EQ(date.days, d);
  }

  // Numbers and BCD values keep their decimal point.
  EXPECT_EQ(ValueToText(Value(1.5), 1252), "1.5");
  EXPECT_EQ(ValueToText(Value(-2.5e-300), 1252), "-2.5e-300");
  uint8_t bcd[17];
  ASSERT_TRUE(EncodeBcd("-12.345", 3, bcd).ok());
  auto decoded = DecodeBcd(bcd, 3);
  ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();
  EXPECT_EQ(decoded->text, "-12.345");
}

}  // namespace
}  // namespace paradox
