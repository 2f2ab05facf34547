// Command-line parser: lands with the spine.
