#include "service/Components.h"

void createComponents() {}

bool startComponents() {
    return true;
}

void shutdownComponents() {}
