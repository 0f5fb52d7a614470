// What a run does with a chip the journal has flashed before (a board back from the field
// or from test): a station's rule, read from its settings.
#pragma once

namespace korvane {

enum class Rework {
    kNew,     // a new number, as for any device; the earlier one is named
    kKeep,    // its earlier serial record again, byte for byte; no number is consumed
    kRefuse,  // nothing is written; the run fails, naming the earlier record
    kAsk,     // the front end asks the operator (FlashRunHooks::askRework)
    // A fixture's rule when the station sets none: a board that went through is not
    // flashed again (a watch restarted with boards still in must not renumber them), and
    // one whose run failed is retried with the number it already holds.
    kUnlessPassed,
};

}  // namespace korvane
