#include "hosts/PrivateDir.h"

#include <random>

#include "hosts/RemoteCommand.h"

const char* const PRIVATE_DIR_MADE = "private directory made";

Str newPrivateDirPath(const Str& parent) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<int> pick(0, int(sizeof letters) - 2);
    std::string name = "quillset.";
    for (int i = 0; i < 12; ++i) name += letters[pick(random)];
    return parent + "/" + Str(name);
}

Str makePrivateDirScript(const Str& dir) {
    Str parent = dir.before('/', -1);
    if (parent.empty()) parent = "/";
    // `ls -ldn` gives the mode letters and the owner's number everywhere;
    // in the mode, index 5 is the group's and 8 the others' write letter,
    // 9 the sticky bit.
    return "umask 077; U=`id -u`; set -- `ls -ldn " + shellWord(parent + "/.") +
           "` && case \"$1:$3\" in d????????[tT]*:0|d????????[tT]*:\"$U\") ;; "
           "d????w*|d???????w*) false;; d*:0|d*:\"$U\") ;; *) false;; esac && mkdir " +
           shellWord(dir) + " && set -- `ls -ldn " + shellWord(dir) +
           "` && case \"$1:$3\" in drwx------*:\"$U\") ;; *) false;; esac && echo '" +
           PRIVATE_DIR_MADE + "'";
}

Str removePrivateDirScript(const Str& dir) {
    return "U=`id -u`; set -- `ls -ldn " + shellWord(dir) +
           " 2>/dev/null` && case \"$1:$3\" in drwx------*:\"$U\") rm -rf " + shellWord(dir) +
           ";; esac";
}

bool privateDirMade(const Str& output) {
    return output.index(Str(PRIVATE_DIR_MADE) + "\n") == 0;
}
