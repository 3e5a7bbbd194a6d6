// Standard input is always binary on POSIX systems.
void stdin_binary_mode()
{
}
