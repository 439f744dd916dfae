// Placeholder until the schema is written.
