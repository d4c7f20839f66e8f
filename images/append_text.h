// Appends source, with its NUL, at the NUL that ends destination and returns a pointer to
// the new end, so that appends can be chained. No length is checked: callers size their
// areas for the texts they build.
#pragma once

char* AppendText(char* destination, const char* source);
