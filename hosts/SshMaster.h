// One secure shell connection per host and run: the first command to a
// host starts a master connection whose control socket lies in a
// directory made private for this run; every later command to that host
// goes through it without logging in again. The masters are closed, and
// the directory removed, at the end of the run.
#pragma once

#include <string>
#include <vector>

#include "model/Str.h"

// Appends to args the options that send an ssh command to host through its
// master, starting the master on first use (program: the ssh client,
// env: its environment, with the askpass settings). False when the master
// could not be started: the failure, with ssh's own words, is recorded for
// host, and later commands to host fail at once instead of trying again.
bool sshMasterOptions(const Str& program, const Str& host, const char* user, bool password,
                      std::vector<std::string>& env, std::vector<std::string>& args);

// The options of every ssh invocation: no prompt that nobody could answer
// (batch mode without a password) and a bounded connect.
void sshCommonOptions(bool password, std::vector<std::string>& args);

// Closes every master of the run and removes the control directory.
void closeSshMasters();

// Seconds an ssh connection may take to be set up (default 20).
int sshConnectTimeout();
