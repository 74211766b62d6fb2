// The training mode of routergen: fits a KWT4 router to self-play records.
#pragma once

namespace velmar::routergen {

// routergen train DATA OUT [H1 [H2]] [epochs=N] [lr=X] [batch=N] [seed=N]; returns the exit code.
int train(int argc, char** argv);

} // namespace velmar::routergen
