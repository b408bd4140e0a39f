// Finding an earlier installation of the product through its log, the
// verdict (update, same release, downgrade, refused upgrade) and taking
// over its choices: user type, folders, components, files, registry values
// and file associations.
#pragma once
#include <string>
#include <vector>

#include "engine/SetupState.h"

namespace stw {

enum : int {
  kStrEarlierInstalled = 53,
  kStrNewer1 = 54,
  kStrNewer2 = 55,
  kStrSameRelease = 56,
  kStrSameComponents1 = 57,
  kStrSameComponents2 = 58,
  kStrOlder1 = 59,
  kStrOlder2 = 60,
};

// What the start page shows about the earlier installation.
struct TEarlierVerdict {
  std::vector<std::string> NoteLines;
  enum Kind { None, Newer, Same, Older, Blocked } kind = None;
};

// Runs the detection on the run's state. Never fails: a log that cannot
// be read, or that stops following the layout, counts as absent from the
// point where it stops.
TEarlierVerdict DetectEarlierInstallation(TSetupState& s);

// Marks every component that a chosen one needs, transitively.
void ComputeRequiredComponents(std::vector<TComponentData>& components);

}  // namespace stw
