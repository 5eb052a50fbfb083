// Placeholder bodies so that the program links before the workflow is in place; the workflow
// replaces this file.
#include "ui/MainComponent.h"

std::vector<DriverEntry> makeBuiltInDrivers() { return {}; }

void MainComponent::startDeviceLink() {}

void MainComponent::handleMessage (const juce::Message&) {}

void MainComponent::buttonClicked (juce::Button*) {}

void MainComponent::setControlsEnabled (bool) {}

void MainComponent::startVersionRead() {}

void MainComponent::chooseUpdateFile() {}

UpdateFileCheck MainComponent::checkUpdateFile() { return UpdateFileCheck::none; }
