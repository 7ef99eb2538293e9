// app.h - a whole relay process: the event loop, the platform layers and the main object.
#pragma once

// Builds everything, runs start-up and the event loop; returns only if the loop runs dry.
int RunRelayProcess(int argc, char** argv);
