#pragma once

// The three points of the service main function that belong to the long-lived service
// components.
void createComponents();
bool startComponents();
void shutdownComponents();
