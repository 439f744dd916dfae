// Placeholder until the library is written.
