// The hosts of one install run, sorted by host type, and the run's to-do
// list: how scout results become states and operations, and how the
// operations are planned and filed.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "engine/FileSystemInfo.h"
#include "engine/InstallOperation.h"
#include "hosts/InstallHost.h"
#include "model/Array.h"
#include "model/InstallType.h"
#include "model/Message.h"
#include "model/Str.h"

class HostGroup;

class HostGroupEntry {
  public:
    // Never placed in a group: key "BOGUS HOST".
    HostGroupEntry();
    HostGroupEntry(InstallHost* host, HostGroup* group);

    Str key;                    // "independent" for entry 0, else the host type shared by its hosts
    Array<InstallHost*> hosts;  // the server, when present, first
    Array<int> opIndexes;       // positions in the group's ops
    HostGroup* group = nullptr;

    // Adds host at the front when it is the run's server, else at the end.
    void addHost(InstallHost* host);
    // Turns one host's scout output into states and planned operations.
    void processScoutInfo(InstallHost& host, Str output);
    // Second pass for one type: read-only locations are resolved through
    // the probe file that names the host that installed them.
    void checkStates(const InstallType& type);

  private:
    // A "MADE:type:dir" line: dir is kept for removal when it is the
    // type's location on host or one of its parents.
    void noteMade(const InstallHost& host, const Str& typeId, const Str& dir);
    // A GETFROM line naming the host itself: the next line of output is the
    // location's disk probe, consumed when it parses.
    void planPush(InstallHost& host, const InstallType& type, Str& output);
};

QS_ARRAY_LABEL(HostGroupEntry, "ptArray.HostGroupEntry");

// A directory the scout of a host made (or was about to make) for an
// install location, before anything was confirmed.
struct MadeDirectory {
    Str host;
    Str path;
};

QS_ARRAY_LABEL(MadeDirectory, "ptArray.MadeDirectory");

// What the to-do list did on one host.
struct HostTally {
    int pushed = 0;
    int installed = 0;  // found already installed
    int inherited = 0;  // used from another host
    int failed = 0;     // failed pushes and operations left out after them
};

class HostGroup {
  public:
    // Entry 0 ("independent") holds every host; entries 1.. one host type each.
    Array<HostGroupEntry> entries;
    Array<InstallOperation> ops;
    int failure = 0;
    // What the check phase created on the hosts; removed again by cleanUp
    // unless the to-do list was carried out to its end.
    Array<MadeDirectory> made;
    int carriedOut = 0;
    // Per host name, filled by doToDo.
    std::map<std::string, HostTally> tally;

    // A null host is ignored. The group owns the hosts it holds.
    void addHost(InstallHost* host);
    // The host of entry 0 with that name, or null.
    InstallHost* getHost(const Str& name) const;

    // Scouts every host and plans the whole run.
    void figureOutWhatToDo();
    // Files an operation, merging where allowed; archHint is null or "ipx".
    void putOp(const InstallOperation& op, const char* archHint);
    void addGetFrom(const Str& fromHost, InstallHost& host, const InstallType& type);
    // 1 when needed kilobytes fit in fs after the pushes already planned onto it.
    int isEnoughDisk(const FileSystemInfo& fs, std::int64_t needed) const;
    // The type of the named host of entry 0; empty when unknown.
    Str hostArchitecture(const Str& name) const;
    int haveW32() const;

    // The printed to-do list.
    void tellToDo(std::ostream& out);
    // The to-do list as one message for the window front end, owned by the caller.
    Message* toDoMessage() const;
    // Carries out the planned operations on their hosts, each host's in
    // order, up to hostLimit() hosts side by side between merged pushes; a
    // host whose push failed is skipped from then on. Once a stop is
    // requested (StopRequest.h) the operations not yet begun are left out.
    void doToDo();
    // One line per host of the group, in group order: pushed, already
    // installed, inherited, failed.
    void tellSummary(std::ostream& out) const;
    // Reboots the hosts that asked for it, once the user has agreed.
    void handleReboots();
    // On each host, up to hostLimit() side by side: removes the engine
    // copied for the run, runs the removals planned for the end and, when
    // the run did not go on to its end, removes the directories the check
    // phase made. Then deletes every host.
    void cleanUp();

    void setFailure() { failure = 1; }
    int getFailure() const { return failure; }
    int checkandresetFailure() {
        int f = failure;
        failure = 0;
        return f;
    }

  private:
    // Hosts scouted side by side; false (nothing done) where they go one by one.
    bool scoutSideBySide();
    // Hosts scouted one after another, PC hosts in their own way.
    void scoutInTurn();
    // The check of what planning found, after every host was scouted.
    void checkStates();
    void cleanUpHost(InstallHost& host);
    void removeMadeDirectories(InstallHost& host);
    void pushToAll(const InstallOperation& op, const Array<InstallHost*>& hosts);
    void doOp(const InstallOperation& op, InstallHost& host);
    bool doInTurn(const std::vector<InstallOperation>& run, int from,
                  const std::vector<InstallHost*>& hosts);
    bool doSideBySide(const std::vector<InstallOperation>& run, int from,
                      const std::vector<InstallHost*>& hosts);
};

// The end of the to-do step that starts at from: a merged push is a step
// of its own, the operations up to the next one are one step.
int toDoStepEnd(const Array<InstallOperation>& ops, int from);

extern HostGroup hostGroups;

// End of a run: each host's clean-up (HostGroup::cleanUp), the ssh
// connections closed, then an empty host group and failure list.
void CleanUp();

// Plans PC host entries[0].hosts[hostIndex]: a push per target platform
// for every type with a path the host accepts (no disk probe).
void pcFigureOutWhatToDo(Array<Str>& paths, Array<HostGroupEntry>& entries, int hostIndex);

// Resets the multiplex mode so that the next putOp reads "@Multiplex@"
// again (the mode is otherwise settled once per process).
void resetMultiplexMode();
