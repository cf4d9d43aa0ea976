// Many streams from one input: every file entry of a ZIP archive, each converted to its own output
// under one folder, with its own result line. Also the result line of any one stream.
#pragma once

#include <string>
#include <vector>

#include "containers/zip_container.h"
#include "core/result_code.h"
#include "driver/convert_file.h"

// What one input did to the run's exit status.
enum class FileOutcome { Converted, ConvertedLeavingOut, Failed };

// A stream's warnings, then its result line, shown as shownPath (a file's path, or "ARCHIVE:ENTRY");
// takenName is the name an archive held already, for EntryNameTaken.
void printOutcome(const std::string& shownPath, const DriverSettings& settings, const std::vector<std::string>& warnings,
                  ResultCode result, const std::string& outputPath, const std::string& takenName = "");

// Prints the warnings and the result line of one stream, shown as shownPath (a file's path, or
// "ARCHIVE:ENTRY"), and says what it did to the run.
FileOutcome reportResult(const std::string& shownPath, ResultCode result, const DriverSettings& settings, const FileReport& report);

// Converts one input path as convertFile does, and reports it.
FileOutcome convertFileAndReport(const std::string& inputPath, const DriverSettings& settings);

// Opens the input path and, where it reads as a ZIP archive (isArchive), lists its entries;
// NoFileEntry where it holds none that is a file.
ResultCode listArchiveEntries(const std::string& inputPath, InputFile& input, ZipFileEntries& entries, bool& isArchive);

// The file entries --all-entries takes from the input path: those of a ZIP archive, else 1 (also
// where the input can't be read: its conversion then says why).
size_t fileEntriesOf(const std::string& inputPath);

// Every file entry of a ZIP archive, in the central directory's order, each to its own output in
// the folder named after the archive less its last extension (site.zip: site/), or in --outdir:
// entry css/a.css gives site/css/a.css.gz, its folders made as needed, never outside that folder
// nor through a symbolic link in it. Folder entries make their folders and print nothing; each file
// entry prints its own line, "ARCHIVE:ENTRY - ...", and one failing doesn't stop the others. With
// -t, each entry is checked and nothing is made. With -o or -c (a check, or PNG output) there is no
// folder: each entry goes to the one output. An input that isn't a ZIP archive, or standard input, is converted as convertFileAndReport does.
FileOutcome convertAllEntries(const std::string& inputPath, const DriverSettings& settings);
