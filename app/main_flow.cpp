// Main flow: lands with the spine.
