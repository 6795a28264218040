// The kernels of the host's algorithm table (gpu/kernel_table.h),
// instantiated last so that every family's and loop's macros are defined.
CN_MAIN_KERNELS
CN_FAMILY_KERNELS
