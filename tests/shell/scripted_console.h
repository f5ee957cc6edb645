#pragma once
// The shell tests' console: the scripted console of every in-process test.
#include "support/scripted_console.h"

using testing_support::ScriptedConsole;
