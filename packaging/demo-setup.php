<?php
// A script of the panel for the sample package's ExecPHPScript row: the demo and the end-to-end checks put it
// under the product root next to the stand-in PHP, which prints its arguments and ends with the code below.
echo "configured\n";
exit(0);
