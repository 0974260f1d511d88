// Lists named as their labels read. On Linux Qt names a list by the entry
// it shows ("3") and leaves the label to a relation some screen readers
// never follow; a list given an accessible name is named by it here, with
// the shown entry as its value.
#pragma once

namespace tl::window_qt {

// Safe to call more than once; applies to every list with a name set.
void nameListsByTheirLabels();

}  // namespace tl::window_qt
