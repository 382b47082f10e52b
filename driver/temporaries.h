// Outputs that appear only when complete. A file, or a folder of track
// files, is written under a temporary name beside its own, ".NAME.part"
// (hidden), and renamed to its name once whole. A run that fails removes its
// temporaries, and so do SIGINT and SIGTERM; a later run removes a stale
// temporary of a name it is about to write, once no other run holds it (each
// temporary is locked while it is written).
#pragma once

#include <string>

// ".NAME.part" beside `path` (whose trailing slashes are ignored); for a
// NAME too long for that within 255 bytes, its start and a digest of all of
// it, ".NAME-START~DIGEST.part".
std::string TemporaryOf(const std::string& path);
// Whether `name` (a file name, no folder) is a temporary of this naming.
bool IsTemporaryName(const std::string& name);

// Keeps `path` on the list of what SIGINT and SIGTERM remove (a folder after
// the files in it), until Forget.
void KeepTrackOf(const std::string& path, bool folder);
void Forget(const std::string& path);

// Installs the handlers of SIGINT and SIGTERM: they remove every temporary
// on the list, then end the process as the signal would have.
void RemoveTemporariesOnSignal();

// Creates the temporary file `temp` with `mode` (less the umask), locked,
// and puts it on the list. A stale one is removed first. Returns its
// descriptor, or -1: with `*busy` when another run holds it, else errno set
// (EEXIST when something not ours, a link say, stands at the name: it is
// neither followed nor removed).
int CreateTemporaryFile(const std::string& temp, unsigned mode, bool* busy);

// The same for a temporary folder: returns a descriptor of the folder that
// holds its lock. A stale folder is removed with the files in it; one that
// holds anything else (a folder of its own, say) is no temporary of ours: it
// is left as it is, and refused (EEXIST).
int CreateTemporaryFolder(const std::string& temp, bool* busy);

// Closes the temporary file `fd` and renames `temp` to `path`, keeping its
// lock until the name is taken, so that no other run can take it for stale
// in between. False, with errno set, when either fails.
bool CloseIntoPlace(int fd, const std::string& temp, const std::string& path);

// Removes `temp` if it is a stale temporary, file or folder: no run holds
// it. Nothing when there is none, or another run holds it.
void RemoveStaleTemporary(const std::string& temp);
