// The drive type of a host directory from the mount table (/proc/self/mountinfo): what
// GetDriveType answers for the drive or share that leads there.
#pragma once

#include <filesystem>

#include "os/path.h"

namespace tav::os {

// The type of the file system holding `dir` (its deepest mount); NoRootDir when it is missing.
DriveType typeOfHostDirectory(const std::filesystem::path& dir);

}  // namespace tav::os
