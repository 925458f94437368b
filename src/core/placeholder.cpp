// Keeps the core library non-empty until its first real unit lands.
namespace tessarin { int core_placeholder() { return 0; } }
