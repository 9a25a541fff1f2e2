#pragma once
// The program-state store: 26 named text slots that survive a restart in
// "progstate.qms" (13,312 bytes, slot i at offset i*512). One lock guards all
// operations, so the HTTP threads and the main thread never lose a slot or a
// count.

#include <array>
#include <cstdint>
#include <string>

inline constexpr int kStateSlots = 26;
inline constexpr std::size_t kStateSlotSize = 512;
inline constexpr std::size_t kStateFileSize = kStateSlots * kStateSlotSize;  // 13,312

/// Stores value under name (both cut to 255 bytes). A 27th distinct name is
/// refused with a logged error and changes nothing.
void SetStateValue(const std::string& name, const std::string& value);

/// The value stored under name (ASCII case-insensitive), or "" when none.
std::string GetStateValue(const std::string& name);

/// The slot index 0-25 holding name (the highest when several do), or -1.
int FindStateSlot(const std::string& name);

/// Writes the whole table to the program directory + fileName ("" means
/// "progstate.qms"). Failures are logged ("I/O Fehler: " + system text).
void SaveState(const std::string& fileName = "");

/// Reads the table from path ("" means "progstate.qms" in the current
/// directory). A missing file or one shorter than 13,312 bytes leaves the
/// table as it is; a longer file yields its first 13,312 bytes. Failures are
/// logged ("Fehler beim Auslesen der Datei " + path).
void LoadState(const std::string& path);

/// Adds `delta` to a decimal counter value (not a number counts as 0) and
/// returns the new value as text, in one step under the store's lock.
std::string AddToStateCounter(const std::string& name, long long delta);

/// Empties every slot (a process's start state; tests).
void ClearState();

/// The raw 13,312-byte image of the table (tests, diagnostics).
std::array<std::uint8_t, kStateFileSize> StateImage();
