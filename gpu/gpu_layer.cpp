// Placeholder until the GPU layer lands.
