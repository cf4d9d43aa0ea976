// How the system writes paths, as far as the names stored in containers care: a name derived from
// an input path is stored the way ZIP and GZIP write names, with '/' between folders and no drive.
#pragma once

#include <string>

// The path in the containers' form. On POSIX systems that is the path itself; on Windows '\' becomes
// '/' and a drive ("C:") or "\\?\" prefix is dropped.
std::string portablePath(const std::string& path);
