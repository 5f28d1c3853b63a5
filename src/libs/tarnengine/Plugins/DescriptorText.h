#pragma once

#include <cstddef>

namespace TarnEngine {

// The bounded copy of the descriptors' texts (CustomComponentDesc,
// CustomNodeHeaderDesc): copies at most uiCapacity - 1 characters of pText
// (null: empty) and terminates. A longer text is cut and reported: whatever
// is looked up by the full name will not find the cut one.
void CopyDescriptorText(char* pOut, size_t uiCapacity, const char* pText);

}  // namespace TarnEngine
