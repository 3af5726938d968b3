// The page names the distribution: a sub-folder of the install root in which the sessions
// run programs and write, verify and delete files. It is checked before anything is touched.
#pragma once

// True when the text names a folder at or below the install root: relative, no drive, no
// "..", "." or dots-and-blanks part (Windows drops trailing dots and blanks of a name, so
// ".. " would climb as well), and no part that is a device, a short-name alias or the sync
// cache folder of the distribution above it. The empty text names the root itself.
bool IsDistributionUnderRoot(const char* szDistribution);
