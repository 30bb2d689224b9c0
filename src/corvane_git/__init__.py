"""Git tooling for notebooks with a component layer."""
