#pragma once

#include <windows.h>
// aclapi.h needs the types of windows.h.
#include <aclapi.h>

#include <cstddef>

// Turn-taking's seams for the tests: the mutex's name, and the calls through
// which a run makes and opens it and reads a mark's owner, where the tests
// stand in for another account (Wine tells no owner but that of a file's
// Unix account).

// The name of the mutex that runs hold while they read the device at a path.
void MutexNameOfPath(const char* devicePath, char* name, std::size_t size);

using CreateMutexCall = decltype(&CreateMutexA);
using OpenMutexCall = decltype(&OpenMutexA);
using GetSecurityInfoCall = decltype(&GetSecurityInfo);
extern CreateMutexCall createMutexCall;
extern OpenMutexCall openMutexCall;
extern GetSecurityInfoCall getSecurityInfoCall;
