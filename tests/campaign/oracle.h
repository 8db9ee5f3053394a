// q55x-campaign --oracle: the expected-flash oracle over the matrix of every procedure.
#pragma once

namespace campaign {

// Exit status 0 when no reported success differs from the model and no failure lost a stretch it
// promised to keep (nor crashed or hung); 1 otherwise; 2 for a usage error.
int oracleMain(int argc, char** argv);

}  // namespace campaign
