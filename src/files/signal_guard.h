#pragma once

// How signals end a run on POSIX systems: one handler for every signal whose default action
// ends the process, installed the first time the run has something to protect and kept to
// the end. It tells a page of the mapped model lost by another program's cut (the kernel's
// bus error at an address inside the mapping: the page becomes zeros and the run goes on to
// fail), and the break of the run's lease on the model (another program opened it for
// writing: the lease is released at once and the run goes on to fail), from everything
// else, which removes the temporary output file, if there is one, and ends the process by
// the signal's default action.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fmskins {

// Watches the `length` bytes mapped at `start` for pages lost by a cut; false where the
// handler could not be installed (the model is then read instead of mapped).
bool watch_model_mapping(const std::uint8_t* start, std::size_t length);

// Takes a read lease on the model file open read-only as `descriptor`, so that a program
// opening it for writing during the run is noticed. False when another program has it open
// for writing now. Where no lease can be had (another user's file, a network file system,
// leases switched off, a descriptor of this process's own open for writing on it), true
// with no lease: the model's size and times are then the only check.
bool lease_model(int descriptor);
// A lease was taken on the model (broken since or not).
bool model_leased();
// Another program opened the leased model for writing during the run.
bool model_lease_broken();

// Records the temporary output file, `name` in the folder open as `directory`, removed if a
// signal ends the run while it exists.
void guard_temporary(int directory, const std::string& name);
void release_temporary_guard();

// The signals that end the run from outside, to be held back around a step that must not be
// cut short. The lease's signal is not among them: its break must be answered at once.
sigset_t interrupting_signals();

}  // namespace fmskins
