// What vardok-check tells of a server's certificate: whom it names, who
// issued it, and the days until it expires, judged against limits in days.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>

#include "tools/check/outcome.h"

namespace VardokCheck {

struct CertificateFacts {
  std::string subject;  // the name it was issued for ("localhost")
  std::string issuer;   // who signed it ("Vardok test issuer")
  std::string expires;  // the day it expires, "2027-01-05"
  std::string validFrom;  // the day it becomes valid
  bool notYetValid = false;  // its first day is still to come
  int64_t daysLeft = 0;  // whole days from now; negative once expired
};

CertificateFacts certificateFacts(PCCERT_CONTEXT certificate);

// Days left judged by limits in days (negative: none): fewer than crit is
// critical, fewer than warn a problem; exactly at a limit is well.
Level judgeDaysLeft(int64_t daysLeft, int64_t warn, int64_t crit);

// "--cert-days 30,7": the warning and critical limits in days.
void readDayLimits(const std::string& option, const std::string& text, int64_t* warn, int64_t* crit);

}  // namespace VardokCheck
