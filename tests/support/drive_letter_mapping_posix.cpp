// POSIX has no drive letters to map.
#include "support/drive_letter_mapping.h"

namespace dh::test {

ScopedDriveLetter::ScopedDriveLetter(const std::string& folder)
    : folder_(folder), failure_("this platform has no drive letters") {}

ScopedDriveLetter::~ScopedDriveLetter() = default;

}  // namespace dh::test
