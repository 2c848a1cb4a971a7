// Keeps every component library non-empty while its subsystem is being written.
