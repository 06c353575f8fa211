// The build name and the build number derived from the date of the build.
#ifndef STARTER_APP_BUILD_IDENTITY_H_
#define STARTER_APP_BUILD_IDENTITY_H_

#include "engine_starter/irrlicht_types.h"

// The build name every run logs first.
inline constexpr char kBuildName[] = "Engine";

// The date of this build as "Mmm dd yyyy" (the day space-padded): the date
// given by SOURCE_DATE_EPOCH when the build was configured with it, else the
// compiler's date of compilation.
const char* BuildDate();

// The build number of `date` ("Mmm dd yyyy"): days since the build epoch by
// the engine's calendar rule (February always 28 days, a year divisible by 4
// adds one day from March on). A month that is not recognised counts as
// January; a null or short date is read as far as it goes (missing numbers
// count as 0).
int BuildNumber(const char* date);

// "E" followed by BuildNumber(date) in decimal.
String ShortBuildName(const char* date);

#endif  // STARTER_APP_BUILD_IDENTITY_H_
