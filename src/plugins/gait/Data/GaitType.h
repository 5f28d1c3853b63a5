#pragma once

// The gait data of one kind of character: which animation plays each
// movement, how movements blend, their stable frames, foot-on-floor frames
// and synchronised hand-overs. Authored form (ParamGait, names as text, read
// from the gait document), resolved form (GaitRuntimeData, names replaced by
// enumeration values and sequence indices), and the tables a GaitActor
// derives from the resolved form when it starts.
#include "Data/GaitActorTables.h"
#include "Data/GaitMovement.h"
#include "Data/GaitParam.h"
#include "Data/GaitRuntimeData.h"
