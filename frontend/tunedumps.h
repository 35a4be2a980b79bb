// The command-line front end: one way through for every form. Parse the
// command line into a request, load the module and choose the range, render
// into output sinks, publish.
#pragma once

int td_main(int argc, char** argv);
