"""git: the one runner that starts it and tells its failures apart (runner, the bottom
layer), and the set-up on top: the config and attribute lines (settings) and the pre-commit
hook (hook)."""
