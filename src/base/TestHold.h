#pragma once

namespace vf {

// A moment of the run at which a test can hold the program, to kill it or to change the world
// around it there. In the program's test variant (TestHold.cpp, linked into it alone), with
// VF_TEST_HOLD=<moment>:<n> in the environment, the n-th time the run passes <moment> the
// program creates the file named by VF_TEST_HOLD_FILE and waits until the file is removed.
// Without these variables, and always in the program itself, it does nothing.
void testHold(const char* moment);

} // namespace vf
