// The folders a collection's outputs go into: every output of an archive's entries lands inside one
// folder (the root), never outside it and never through a symbolic link in it, whatever the entry
// names say, so that an archive can't write to a place a link in the output folder points at.
#pragma once

#include <string>
#include <vector>

#include "core/result_code.h"
#include "io/native_file.h"

// A folder below the root, opened one folder at a time, each one made where it is missing and none
// followed where it is a symbolic link. POSIX: handle is the folder itself, which outputs are made
// in, and the last few folders on the way are kept open (held, handle last) to go back up to;
// Windows: every folder on the way is held open without letting it be renamed or removed, so that
// its path keeps naming it.
struct OutputFolder {
    std::string path;  // the root and the folders below it, joined with "/": what outputs in it are named after
    NativeFile handle = invalidNativeFile;
    std::vector<NativeFile> held;
    std::vector<size_t> pathLengths;  // of path at each folder held

    OutputFolder() = default;
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    ~OutputFolder();
};

// Opens root (made where missing; a link there is followed, as for any folder the user names), then
// each of below in turn, made where missing. OutputExists where one of below is a symbolic link or no
// folder (a file, say); OutputNotCreated where one can't be made or opened, or isn't a plain name
// ("", ".", "..", or holding a separator). With flushToDisk, a folder made is flushed into the one
// that holds it.
ResultCode openOutputFolder(const std::string& root, const std::vector<std::string>& below, bool flushToDisk, OutputFolder& folder);

// Goes on down from the open folder, as openOutputFolder does, through below from index from on.
// Where that fails, the folder is left part of the way down: it is to be closed.
ResultCode descendOutputFolder(OutputFolder& folder, const std::vector<std::string>& below, size_t from, bool flushToDisk);

// Goes back up levels folders, to one it holds still; false where it holds none that high (the
// folder is then to be opened anew from the root).
bool ascendOutputFolder(OutputFolder& folder, size_t levels);

// Closes a folder's handle, as each system does.
void closeFolderHandle(NativeFile folder);

// While one lives, an output this thread creates whose path is folder.path, "/" and a name is made
// and named through the folder's handle (createOutputFile does so), never through its path. The
// folder stays open until every output made in it is committed or discarded.
struct OutputFolderInUse {
    explicit OutputFolderInUse(const OutputFolder& folder);
    ~OutputFolderInUse();
    OutputFolderInUse(const OutputFolderInUse&) = delete;
    OutputFolderInUse& operator=(const OutputFolderInUse&) = delete;
    const OutputFolder* previous;
};

// The handle of the folder in use where outputPath lies right inside it, name then set to the
// output's name in it; else invalidNativeFile, and name left as it is.
NativeFile folderInUseFor(const std::string& outputPath, std::string& name);
