// The destination file of a normalisation, written so that no reader ever sees
// a part of it and nothing is left behind when the run fails or is killed.
//
// A regular (or absent) destination is written to a file without a name
// (O_TMPFILE) in the destination's folder and linked into place only when it
// is complete: an interrupted run, even by SIGKILL or a power cut, leaves
// nothing. Where the file system refuses unnamed files, a hidden temporary
// file beside the destination is used instead, and SIGINT, SIGTERM, SIGHUP and
// SIGQUIT remove it before the process ends. Devices and pipes are written
// directly. A destination that is a symbolic link is written through it, like
// cp does; a replaced file keeps its permission bits and, where the caller may
// set them, its owner and group.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>

struct dst_file {
    int fd = -1;
    std::string path;       // the file that ends up written: the destination, its links resolved
    std::string tmp_path;   // the named temporary file, when the folder allows no unnamed one
    bool unnamed = false;   // fd is an unnamed file in path's folder
    bool replaces = false;  // a regular file exists at path
    mode_t mode = 0;        // permission bits of the finished file
    uid_t uid = 0;          // owner and group of the file replaced
    gid_t gid = 0;
    struct sigaction saved[4] = {};  // the signal dispositions before the named file existed
};

// Opens the destination for writing. With allow_unnamed false the named
// temporary file is used even where an unnamed one could be. Returns 0 or
// -errno; on failure nothing exists that was not there before.
int dst_open(const char* path, bool allow_unnamed, dst_file* dst);

// Makes the written file permanent under its name: flushed to disk, given its
// mode (and owner), linked or renamed over the destination, and the folder
// flushed so that the name survives a power cut. Returns 0 or -errno; on
// failure nothing is left behind.
int dst_commit(dst_file* dst);

// Abandons the file: nothing is left behind, an existing destination is as it
// was (a device or a pipe keeps what was written to it).
void dst_discard(dst_file* dst);
