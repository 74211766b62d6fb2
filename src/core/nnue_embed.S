/* The built-in network, assembled into read-only data so that the program needs no file.
   CMake defines VELMAR_NET_PATH (the quoted path of data/velmar.nnue) and lists the file as a
   dependency of this object. 64-byte alignment is not needed by the loader, which copies the
   weights into aligned blocks, but costs nothing. */
    .section .rodata.velmar_net, "a", @progbits
    .balign 64
    .globl velmar_net_begin
    .type velmar_net_begin, @object
velmar_net_begin:
    .incbin VELMAR_NET_PATH
    .globl velmar_net_end
    .type velmar_net_end, @object
velmar_net_end:
    .size velmar_net_begin, velmar_net_end - velmar_net_begin

    .section .note.GNU-stack, "", @progbits
