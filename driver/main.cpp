#include "driver/run.h"
#include "io/fail.h"

// Errors reach here as exceptions, once the run has released what it owns
// (the output's temporary file): their text is printed and is the run's end.
int main(int argc, char** argv) {
    try {
        return skarbel_main(argc, argv);
    } catch (const RunError& e) {
        return report_run_error(e);
    }
}
