#pragma once

#include "workflow/UpdateWorkflow.h"

// The workflow's own state, for tests that set up a moment of it.
struct UpdateWorkflowTestAccess
{
    explicit UpdateWorkflowTestAccess (UpdateWorkflow& w)
        : detectingFlash (w.detectingFlash), updating (w.updating), workDriver (w.workDriver),
          progressValue (w.progressValue), updateFilePath (w.updateFilePath), updateFileSize (w.updateFileSize),
          identity (w.identity), builtInDrivers (w.builtInDrivers), jobQueue (w.jobQueue)
    {
    }

    bool& detectingFlash;
    bool& updating;
    UpdateWorkflow::DriverImage& workDriver;
    double& progressValue;
    juce::String& updateFilePath;
    int& updateFileSize;
    UpdateIdentityState& identity;
    std::vector<DriverEntry>& builtInDrivers;
    JobQueue& jobQueue;
};
