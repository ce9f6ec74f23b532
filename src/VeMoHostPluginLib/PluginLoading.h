#pragma once
// The loading pass over the active descriptors: creates each plug-in's initialisation event,
// decides whether this service loads it, loads it, and signals the event at once for every
// plug-in that will not signal it itself.
void LoadPlugins(bool bLoadInSystemKontext, bool bLoadInPureMode);
