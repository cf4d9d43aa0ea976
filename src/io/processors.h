// How many processors this process may run on: its affinity, which a container or `taskset` may
// have narrowed, not the machine's count.
#pragma once

// At least 1.
unsigned processorsAvailable();
