// Built out as the module grows.
