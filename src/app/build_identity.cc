#include "app/build_identity.h"

#include <strings.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int kMonthLengths[] = {31, 28, 31, 30, 31, 30,
                                 31, 31, 30, 31, 30, 31};
// Day number of the build epoch.
constexpr int kEpoch = 40284;

int MonthIndex(const char* date) {
  for (int m = 0; m < 12; ++m) {
    if (strncasecmp(date, kMonths[m], 3) == 0) return m;
  }
  return 0;
}

// The decimal number at `offset`, or 0 when the text is shorter.
int NumberAt(const char* date, std::size_t offset) {
  if (std::strlen(date) <= offset) return 0;
  return static_cast<int>(std::strtol(date + offset, nullptr, 10));
}

}  // namespace

const char* BuildDate() {
#ifdef STARTER_BUILD_DATE
  return STARTER_BUILD_DATE;
#else
  return __DATE__;
#endif
}

int BuildNumber(const char* date) {
  if (date == nullptr) date = "";
  const int month = std::strlen(date) >= 3 ? MonthIndex(date) : 0;
  const int days_before_month =
      std::accumulate(kMonthLengths, kMonthLengths + month, 0);
  const int day = NumberAt(date, 4);
  const int year = NumberAt(date, 7);
  int n = day + days_before_month - 1 +
          static_cast<int>(std::trunc((year - 1901) * 365.25));
  if (year % 4 == 0 && month >= 2) n += 1;
  return n - kEpoch;
}

String ShortBuildName(const char* date) {
  String name = "E";
  name += std::to_string(BuildNumber(date));
  return name;
}
