// The engine's own version, shown in the file's properties. A setup's product is named by its
// script, which is not known when the engine is built: these name the engine.
#pragma once

#define ENGINE_VERSION_NUMBERS 1, 0, 0, 0
#define ENGINE_VERSION_TEXT    "1.0.0.0"
