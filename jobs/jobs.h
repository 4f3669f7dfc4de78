#pragma once

// What the rest of the system uses of the jobs layer: job objects and their messages, the
// registry that links jobs and delivers messages, and the scheduler that runs long loops.
#include "jobs/HandOverSpin.h"
#include "jobs/KrCombinedTask.h"
#include "jobs/KrIdGenerator.h"
#include "jobs/KrJob.h"
#include "jobs/KrJobMessage.h"
#include "jobs/KrJobWithTimeout.h"
#include "jobs/KrRarediScheduler2.h"
