// Directories made on a host for one run's files: the copied engine, the
// files of a command set. A fixed name under a directory others can write
// to could be a link or a directory planted there, so each is made fresh
// under an unguessable name, private to the account the installer uses on
// the host, and only removed when this run made it.
#pragma once

#include "model/Str.h"

// parent + "/quillset." + 12 random letters and digits.
Str newPrivateDirPath(const Str& parent);

// Shell commands that make dir (a path from newPrivateDirPath) with mode
// 0700 and print PRIVATE_DIR_MADE on a line of their own. They fail, making
// nothing, when the parent is owned by an account other than the super-user
// or the one the command runs as, or when others may write to the parent
// without its sticky bit (either could rename the directory away and put
// their own in its place); and when dir exists. A command continued after
// them with "&&" runs only when the directory is made; umask 077 stays set.
Str makePrivateDirScript(const Str& dir);

// Shell commands that remove dir when it is a directory private to the
// account they run as: one that the script above made although its marker
// line never arrived (the connection dropped), since nobody else makes a
// directory of that account under its fresh name.
Str removePrivateDirScript(const Str& dir);

// The marker line (without its newline).
extern const char* const PRIVATE_DIR_MADE;

// Whether the output of a command that began with makePrivateDirScript
// says the directory was made.
bool privateDirMade(const Str& output);
