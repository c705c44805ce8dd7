/* Built with the 32-bit build's flags and run once when that build is
   configured: it ends with 0 where this machine runs 32-bit programs. */
int main(void) { return 0; }
