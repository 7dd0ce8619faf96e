// Shared tools of the table engine: the owning collection, the paged bit set,
// file-name and text helpers, and the engine's value carrier ThxVariant.
#pragma once

// ---- tools (collection, huge set, names, text) ----

// ---- ThxVariant (value carrier) ----
