// Placeholder until the module's sources land.
