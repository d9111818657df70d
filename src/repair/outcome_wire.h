// A directory's check outcome through a worker's pipe and back: the check takes the directories of
// a large database in worker processes of their own, and gathers their outcomes in order.
// Invariant: decode(encode(o)) equals o field for field; texts pass as bytes (852), untouched.
#pragma once
#include <optional>
#include <string>

#include "repair/repair.h"

namespace tav::repair {

std::string encode(const DirectoryOutcome& outcome);
// nullopt when the bytes are cut short or not an outcome.
std::optional<DirectoryOutcome> decode(const std::string& bytes);

}  // namespace tav::repair
