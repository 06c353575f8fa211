#include "app/build_identity.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(BuildIdentityTest, BuildNumberFollowsTheCalendarRule) {
  const struct {
    const char* date;
    int number;
  } cases[] = {
      {"Nov 27 2015", 1684},
      // February always counts 28 days; a year divisible by 4 adds one day
      // from March on, so the leap day and the first of March are two apart.
      {"Feb 28 2016", 1777},
      {"Feb 29 2016", 1778},
      {"Mar  1 2016", 1779},
      {"Mar  1 2015", 1413},
      {"Dec 31 2016", 2084},
      {"Jan  1 2017", 2085},
      // The month is compared without regard to case; the day may be
      // zero-padded as well as space-padded.
      {"nOV 27 2015", 1684},
      {"Nov 07 2015", 1664},
      {"Nov  7 2015", 1664},
      // Dates before the build epoch give negative numbers.
      {"Apr 17 2011", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildNumber(c.date), c.number) << c.date;
  }
}

TEST(BuildIdentityTest, ShortBuildNameIsTheLetterEAndTheNumber) {
  EXPECT_EQ(ShortBuildName("Nov 27 2015"), "E1684");
  EXPECT_EQ(ShortBuildName("Apr 18 2011"), "E0");
  EXPECT_EQ(ShortBuildName("Apr 17 2011"), "E-1");
}

TEST(BuildIdentityTest, MalformedDatesGiveANumberWithoutOverrun) {
  // Unknown month counts as January; missing numbers as 0.
  EXPECT_EQ(BuildNumber("Xyz 27 2015"), BuildNumber("Jan 27 2015"));
  EXPECT_EQ(BuildNumber(nullptr), BuildNumber(""));
  EXPECT_EQ(BuildNumber("No"), BuildNumber(""));
}

TEST(BuildIdentityTest, BuildDateHasTheCompilerDateForm) {
  const char* date = BuildDate();
  ASSERT_EQ(std::strlen(date), 11u) << date;
  EXPECT_EQ(date[3], ' ');
  EXPECT_EQ(date[6], ' ');
  EXPECT_GT(BuildNumber(date), 1684);
}
