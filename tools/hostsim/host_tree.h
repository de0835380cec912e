// The host's side of the accessibility interface: the process, its windows and
// its menu bar, built from the scenario as the plug-in is to find them.
#pragma once

#include <platform/host.h>

#include <map>
#include <string>

#include "scenario.h"
#include "transcript.h"

namespace hostsim {

/// The menu items shown so far, for the notes of their presses.
struct MenuItems {
    std::map<PLAXNodeRef, std::string> paths;  // titles from the menu bar down, joined by " > "
    std::map<PLAXNodeRef, double> pressTakes;  // seconds the host spends in the item's action inside a press
};

/// Declares the host process and its application element as `scenario` says; presses go to `pressed`.
void declareProcess(const Scenario& scenario, void (*pressed)(PLAXNodeRef node, void* context), void* context);

/// Shows the menu bar of `change`, with a note when the scenario gives the menu bar as changes.
void showMenuBar(const MenuBarChange& change, bool noted, MenuItems& items, Transcript& transcript);

/// Shows the windows of `change` in place of those before, with a note.
void showWindows(const WindowsChange& change, Transcript& transcript);

/// A title as the notes show it.
std::string describeTitle(const Title& title);

}  // namespace hostsim
