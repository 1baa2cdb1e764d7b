// The site's configuration files under the site root directory: the
// timezone.ini files that are removed and the pelio.ini files that must hold
// TIMEZONE=INTL in section QUORTECH.
#pragma once

#include <string>

// Deletes root + "\\newdata\\timezone.ini" and root + "\\data\\timezone.ini",
// where they exist. A file that will not go is reported with the system's
// code; the other one is still handled.
void RemoveTimezoneIni(const std::string& root);

// Makes the pelio.ini of data and then of newdata hold TIMEZONE=INTL in
// section QUORTECH, writing only where the value differs. A missing file is
// reported and never created; a refused write is reported with the system's
// code. True when both files exist and every needed write succeeded.
bool ModifyPelioIni(const std::string& root);
