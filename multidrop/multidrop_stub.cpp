// multidrop subsystem
