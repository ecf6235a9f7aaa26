#pragma once

// The file helpers every move of media between folders goes through.

#include <string>

// The form of a path that the file functions accept whatever its length. Linux has no length
// prefix, so the path comes back unchanged.
std::string LongPath(const std::string& Path);

// True when the file exists and nobody else has it open (see port::CanOpenExclusive).
bool CanOpenExclusive(const std::string& Path);

// Copies the file's bytes to Target, creating or replacing it. On failure no partial target is
// left behind.
bool FileCopy(const std::string& Source, const std::string& Target);

// Moves a file, creating the target's folder first. Within one file system the file is renamed
// (an existing target is replaced in one step); across file systems it is copied, the copy is
// flushed to disk, and only then is the source deleted. With ReplaceExisting false an existing
// target is never touched and the move fails, leaving the source where it is. Moving a file
// onto itself changes nothing and succeeds.
bool FileMove(const std::string& Source, const std::string& Target, bool ReplaceExisting = true);
