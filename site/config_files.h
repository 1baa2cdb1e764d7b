// The site's configuration files under the site root directory: the
// timezone.ini files that are removed and the pelio.ini files that must hold
// TIMEZONE=INTL in section QUORTECH.
#pragma once

#include <string>

// The site's configuration files, appended to the site root. data\pelio.ini
// also makes a site root valid.
inline constexpr char kDataPelioIni[] = "\\data\\pelio.ini";
inline constexpr char kNewdataPelioIni[] = "\\newdata\\pelio.ini";
inline constexpr char kDataTimezoneIni[] = "\\data\\timezone.ini";
inline constexpr char kNewdataTimezoneIni[] = "\\newdata\\timezone.ini";

// Deletes root + "\\newdata\\timezone.ini" and root + "\\data\\timezone.ini",
// where they exist. A file that will not go is reported with the system's
// code; the other one is still handled. A planted link or hard link there,
// or a data or newdata folder that is a link, is left alone and reported.
void RemoveTimezoneIni(const std::string& root);

// Makes the pelio.ini of data and then of newdata hold TIMEZONE=INTL in
// section QUORTECH, writing only where the value differs. A missing file is
// reported and never created; a refused write is reported with the system's
// code. What was written is flushed to disk. A planted link or hard link,
// or a folder that is a link, is left alone and reported. True when both
// files exist and every needed write (and its flush) succeeded.
bool ModifyPelioIni(const std::string& root);
