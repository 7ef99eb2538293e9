// main.cpp - process entry of pop2smtp.
#include "linux/app.h"

int main(int argc, char** argv) {
    return RunRelayProcess(argc, argv);
}
